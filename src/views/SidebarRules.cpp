#include "SidebarRules.h"

#include "conversation/AgentState.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"

#include <QRegularExpression>

SidebarRules::SidebarRules(QObject *parent)
    : QObject(parent)
{
}

namespace {
// The locale's short time without seconds, which some locales (C, POSIX) include.
QString hourAndMinutes(const QLocale &locale)
{
    static const QRegularExpression seconds(QStringLiteral("[:.]s+"));
    return locale.timeFormat(QLocale::ShortFormat).remove(seconds);
}
} // namespace

QString SidebarRules::relativeDate(const QDateTime &date, const QDateTime &now, const QLocale &locale)
{
    if (!date.isValid())
        return QString();
    const QDateTime local = date.toLocalTime();
    const QDate today = now.toLocalTime().date();
    if (local.date() == today)
        return locale.toString(local.time(), hourAndMinutes(locale));
    if (local.date() == today.addDays(-1))
        return QStringLiteral("Yesterday");
    const qint64 days = local.secsTo(now) / (24 * 60 * 60);
    if (!now.isValid() || days > 6)
        return locale.toString(local.date(), QStringLiteral("MMM d"));
    return locale.dayName(local.date().dayOfWeek(), QLocale::LongFormat);
}

QString SidebarRules::relativeDate(const QDateTime &date) const
{
    return relativeDate(date, clock()(), QLocale::system());
}

QString SidebarRules::initial(const QString &title)
{
    // A character outside the basic plane takes two code units.
    const int length = !title.isEmpty() && title.at(0).isHighSurrogate() ? 2 : 1;
    return title.left(length).toUpper();
}

bool SidebarRules::onboardingComplete()
{
    return DefaultsStore().boolean(DefaultsKeys::onboardingComplete, false);
}

bool SidebarRules::asksBeforeDeleting(const AgentState &state, const QString &sessionId)
{
    if (DefaultsStore().boolean(DefaultsKeys::skipDeleteConfirmation, false))
        return false;
    for (const ChatSession &session : state.chatSessions()) {
        if (Identifiers::uuidText(session.id) == sessionId)
            return !session.messages.isEmpty();
    }
    return false;
}

bool SidebarRules::asksBeforeDeleting(QObject *agentState, const QString &sessionId)
{
    const auto *state = qobject_cast<AgentState *>(agentState);
    return state && asksBeforeDeleting(*state, sessionId);
}

void SidebarRules::stopAskingBeforeDeleting()
{
    DefaultsStore().setValue(DefaultsKeys::skipDeleteConfirmation, true);
}

QString SidebarRules::reusableEmptySession(const AgentState &state)
{
    // The conversation on screen may hold messages not yet mirrored into its stored record.
    if (state.activeSessionID() && state.messages().isEmpty())
        return Identifiers::uuidText(*state.activeSessionID());
    for (const ChatSession &session : state.chatSessions()) {
        if (session.messages.isEmpty() && session.id != state.activeSessionID())
            return Identifiers::uuidText(session.id);
    }
    return QString();
}

QString SidebarRules::reusableEmptySession(QObject *agentState)
{
    const auto *state = qobject_cast<AgentState *>(agentState);
    return state ? reusableEmptySession(*state) : QString();
}

void SidebarRules::setClock(Clock replacement)
{
    clock() = std::move(replacement);
}

SidebarRules::Clock &SidebarRules::clock()
{
    static Clock current = [] { return QDateTime::currentDateTime(); };
    return current;
}
