#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class AgentState;

// Export and import of conversations as a chats archive file. The stored conversations are
// never lost or half-replaced: an export writes a complete file or leaves the old one, and an
// import either appends every session of the file or changes nothing. Every outcome comes back
// as a sentence for the user.
class ChatTransfer : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    struct Outcome
    {
        bool ok = false;
        QString message;
    };

    static const QString defaultFileName;
    // Larger files are refused without being read: no real archive comes near this.
    static constexpr qint64 importSizeLimit = 128LL * 1024 * 1024;

    // Writes every session, making the folder first when the user typed a new one; a folder
    // given as the target gets the default file name inside it.
    static Outcome exportChats(const AgentState &state, const QString &filePath);
    // Appends the file's sessions after the stored ones, in file order; the active session is
    // kept. An imported session whose id is already taken (stored, or earlier in the same file)
    // gets a fresh id, so deleting one copy never removes the other.
    static Outcome importChats(AgentState &state, const QString &filePath);

    // Where the save and open dialogs start: the documents folder when the user has one,
    // otherwise home (a fresh account may have no documents folder yet).
    Q_INVOKABLE static QUrl defaultFolder();
    Q_INVOKABLE static QUrl defaultExportFile();
    // { ok: bool, message: text } for the view.
    Q_INVOKABLE static QVariantMap exportChats(QObject *agentState, const QUrl &file);
    Q_INVOKABLE static QVariantMap importChats(QObject *agentState, const QUrl &file);
};
