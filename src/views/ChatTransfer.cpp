#include "ChatTransfer.h"

#include "conversation/AgentState.h"
#include "conversation/ChatArchive.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QDir>

const QString ChatTransfer::defaultFileName = QStringLiteral("MorloAI_chats.json");

QString ChatTransfer::exportChats(const AgentState &state, const QString &filePath)
{
    // A save file only replaces the target once everything is written, so a failure leaves the
    // previous file (or none) rather than a cut-off archive.
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("Could not write %1: %2")
            .arg(QFileInfo(filePath).fileName(), file.errorString());
    file.write(ChatArchive::encode(state.chatSessions()));
    if (!file.commit())
        return QStringLiteral("Could not write %1: %2")
            .arg(QFileInfo(filePath).fileName(), file.errorString());
    return {};
}

bool ChatTransfer::importChats(AgentState &state, const QString &filePath)
{
    if (!state.canChangeConversation())
        return false;
    QFile file(filePath);
    if (file.size() > importSizeLimit || !file.open(QIODevice::ReadOnly))
        return false;
    const std::optional<QList<ChatSession>> decoded = ChatArchive::decode(file.readAll());
    if (!decoded || decoded->isEmpty())
        return false;

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
    return true;
}

QString ChatTransfer::exportChats(QObject *agentState, const QUrl &file)
{
    auto *state = qobject_cast<AgentState *>(agentState);
    return state ? exportChats(*state, file.toLocalFile()) : QString();
}

bool ChatTransfer::importChats(QObject *agentState, const QUrl &file)
{
    auto *state = qobject_cast<AgentState *>(agentState);
    return state && importChats(*state, file.toLocalFile());
}

QUrl ChatTransfer::defaultExportFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QUrl::fromLocalFile(QDir(folder).filePath(defaultFileName));
}
