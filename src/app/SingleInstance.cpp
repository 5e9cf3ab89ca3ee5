#include "SingleInstance.h"

#include "platform/AppIdentity.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {
constexpr int connectTimeoutMs = 1000;
// Two starts at the same moment: the one without the lock waits this long, at most, for the
// other to start answering.
constexpr int raceAttempts = 100;
constexpr int raceStepMs = 50;
} // namespace

SingleInstance::SingleInstance(const QString &dataFolder, QObject *parent)
    : QObject(parent)
    , m_name(serverName(dataFolder))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::standardDataFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Morlo AI"));
}

QString SingleInstance::serverName(const QString &dataFolder)
{
    const QByteArray folder = QDir::cleanPath(QDir(dataFolder).absolutePath()).toUtf8();
    const QByteArray hash = QCryptographicHash::hash(folder, QCryptographicHash::Sha256).toHex().left(16);
    return AppIdentity::applicationId() + u'-' + QString::fromLatin1(hash);
}

bool SingleInstance::askRunningInstance() const
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    return socket.waitForConnected(connectTimeoutMs);
}

bool SingleInstance::claim()
{
    // Asking first touches no file: a second start that finds a running app leaves at once.
    if (askRunningInstance())
        return false;
    // The lock decides between starts that found nobody at the same moment.
    const QString lockPath = QDir(QDir::tempPath()).filePath(m_name + QStringLiteral(".lock"));
    m_lock = std::make_unique<QLockFile>(lockPath);
    for (int attempt = 0; attempt < raceAttempts; ++attempt) {
        if (m_lock->tryLock(0)) {
            listen();
            return true;
        }
        QThread::msleep(raceStepMs);
        if (askRunningInstance())
            return false;
    }
    // The lock's holder never started answering; it is alive (a stale lock would have been
    // taken over), so it is the running app.
    return false;
}

void SingleInstance::listen()
{
    // Holding the lock, a socket file still there is left over from a run that crashed.
    QLocalServer::removeServer(m_name);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(m_name);
    // A connection is the whole request: only a later start of this app connects here.
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            socket->deleteLater();
            emit activationRequested();
        }
    });
}
