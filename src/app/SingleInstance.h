#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

// One running app per user and data folder: two runs on the same folder would each save their
// own view of the conversations and erase what the other wrote. A second start hands over to
// the running one, which brings its window to the front, and ends without touching any file.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // `dataFolder`: the folder whose conversations this run would use.
    explicit SingleInstance(const QString &dataFolder, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The app's own data folder, named without creating it.
    static QString standardDataFolder();
    // The local socket the running app listens on: the app id and a hash of the folder.
    static QString serverName(const QString &dataFolder);

    // True when this run is the one for its data folder (it now answers later starts). False
    // when another run answered: it was asked to come to the front, and this run should end.
    bool claim();

signals:
    // A later start asked this run to show its window.
    void activationRequested();

private:
    bool askRunningInstance() const;
    void listen();

    QString m_name;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
};
