#include "ChatTransfer.h"

#include "conversation/AgentState.h"
#include "conversation/ChatArchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>

const QString ChatTransfer::defaultFileName = QStringLiteral("MorloAI_chats.json");

namespace {
QString conversations(qsizetype count)
{
    return count == 1 ? QStringLiteral("1 conversation") : QStringLiteral("%1 conversations").arg(count);
}

ChatTransfer::Outcome notAnExport(const QString &reason)
{
    return {false, QStringLiteral("Not a Morlo AI chat export: %1").arg(reason)};
}

// Why bytes the archive reader refused are not an export, in the user's words. Only asked
// after a failed read, so a good import parses once.
QString whyNotAnArchive(const QByteArray &bytes)
{
    if (bytes.trimmed().isEmpty())
        return QStringLiteral("the file is empty.");
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("the file is not JSON (%1 at byte %2).").arg(error.errorString()).arg(error.offset);
    if (!document.isArray())
        return QStringLiteral("the file holds no list of conversations.");
    return QStringLiteral("a conversation in the file is incomplete or damaged.");
}
} // namespace

ChatTransfer::Outcome ChatTransfer::exportChats(const AgentState &state, const QString &filePath)
{
    QString target = filePath;
    if (QFileInfo(target).isDir())
        target = QDir(target).filePath(defaultFileName);
    const auto failure = [&](const QString &reason) {
        return Outcome{false, QStringLiteral("Could not write %1: %2").arg(QDir::toNativeSeparators(target), reason)};
    };
    if (QFileInfo(target).fileName().isEmpty())
        return failure(QStringLiteral("no file name was given."));
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder))
        return failure(QStringLiteral("the folder %1 could not be created.").arg(QDir::toNativeSeparators(folder)));

    // A save file only replaces the target once everything is written, so a failure leaves the
    // previous file (or none) rather than a cut-off archive.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return failure(file.errorString());
    // Flushed first: commit() alone would put an export cut short by a full disk in place.
    file.write(ChatArchive::encode(state.chatSessions()));
    if (!file.flush() || !file.commit())
        return failure(file.errorString());
    return {true, QStringLiteral("Exported %1 to %2")
                      .arg(conversations(state.chatSessions().size()), QDir::toNativeSeparators(target))};
}

ChatTransfer::Outcome ChatTransfer::importChats(AgentState &state, const QString &filePath)
{
    if (!state.canChangeConversation())
        return {false, QStringLiteral("Chats cannot be imported while a reply is being written.")};
    QFile file(filePath);
    if (!file.exists())
        return {false, QStringLiteral("Could not read %1: the file does not exist.").arg(QDir::toNativeSeparators(filePath))};
    if (file.size() > importSizeLimit)
        return notAnExport(QStringLiteral("the file is larger than %1 MB.").arg(importSizeLimit / (1024 * 1024)));
    if (!file.open(QIODevice::ReadOnly))
        return {false, QStringLiteral("Could not read %1: %2").arg(QDir::toNativeSeparators(filePath), file.errorString())};
    const QByteArray bytes = file.readAll();
    const std::optional<QList<ChatSession>> decoded = ChatArchive::decode(bytes);
    if (!decoded)
        return notAnExport(whyNotAnArchive(bytes));
    if (decoded->isEmpty())
        return notAnExport(QStringLiteral("the file holds no conversations."));

    QList<ChatSession> sessions = state.chatSessions();
    QSet<QUuid> taken;
    for (const ChatSession &session : std::as_const(sessions))
        taken.insert(session.id);
    for (ChatSession session : *decoded) {
        if (taken.contains(session.id))
            session.id = QUuid::createUuid();
        taken.insert(session.id);
        sessions.append(session);
    }
    const std::optional<QUuid> active = state.activeSessionID();
    state.replaceSessions(sessions);
    if (active)
        state.selectSession(*active);
    return {true, QStringLiteral("Imported %1").arg(conversations(decoded->size()))};
}

namespace {
QVariantMap toMap(const ChatTransfer::Outcome &outcome)
{
    return {{QStringLiteral("ok"), outcome.ok}, {QStringLiteral("message"), outcome.message}};
}
} // namespace

QVariantMap ChatTransfer::exportChats(QObject *agentState, const QUrl &file)
{
    auto *state = qobject_cast<AgentState *>(agentState);
    return state ? toMap(exportChats(*state, file.toLocalFile())) : QVariantMap();
}

QVariantMap ChatTransfer::importChats(QObject *agentState, const QUrl &file)
{
    auto *state = qobject_cast<AgentState *>(agentState);
    return state ? toMap(importChats(*state, file.toLocalFile())) : QVariantMap();
}

QUrl ChatTransfer::defaultFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QUrl::fromLocalFile(QDir(documents).exists() ? documents : QDir::homePath());
}

QUrl ChatTransfer::defaultExportFile()
{
    return QUrl::fromLocalFile(QDir(defaultFolder().toLocalFile()).filePath(defaultFileName));
}
