#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

class AgentState;

// Export and import of conversations as a chats archive file. The stored conversations are
// never lost or half-replaced: an export writes a complete file or leaves the old one, and an
// import either appends every session of the file or changes nothing.
class ChatTransfer : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    static const QString defaultFileName;
    // Larger files are refused without being read: no real archive comes near this.
    static constexpr qint64 importSizeLimit = 128LL * 1024 * 1024;

    // Writes every session; returns an empty text on success, otherwise what went wrong.
    static QString exportChats(const AgentState &state, const QString &filePath);
    // Appends the file's sessions after the stored ones, in file order; the active session is
    // kept. An imported session whose id is already taken (stored, or earlier in the same file)
    // gets a fresh id, so deleting one copy never removes the other. False when nothing changed.
    static bool importChats(AgentState &state, const QString &filePath);

    // Where the save panel starts: the documents folder and the default name.
    Q_INVOKABLE static QUrl defaultExportFile();
    Q_INVOKABLE static QString exportChats(QObject *agentState, const QUrl &file);
    Q_INVOKABLE static bool importChats(QObject *agentState, const QUrl &file);
};
