#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUuid>
#include <QtQml/qqmlregistration.h>
#include <optional>

class ModelManager;

// Which model file the library's current download failure belongs to, so that Retry starts
// that same download again. The library reports a failure as text only; the file is the one
// that last stopped downloading without being complete.
class DownloadRetry : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject *modelManager READ modelManager WRITE setModelManager NOTIFY modelManagerChanged)
    Q_PROPERTY(bool canRetry READ canRetry NOTIFY canRetryChanged)

public:
    using QObject::QObject;

    QObject *modelManager() const;
    void setModelManager(QObject *manager);
    bool canRetry() const { return m_failed.has_value(); }

    // Clears the failure and downloads the file again (it resumes from what was kept).
    Q_INVOKABLE void retry();

signals:
    void modelManagerChanged();
    void canRetryChanged();

private:
    struct File
    {
        QUuid model;
        QUuid variant;
    };
    void variantChanged(int modelIndex, int variantIndex);
    void lastErrorChanged();

    QPointer<ModelManager> m_manager;
    QSet<QUuid> m_downloading;
    std::optional<File> m_lastStopped;
    std::optional<File> m_failed;
};
