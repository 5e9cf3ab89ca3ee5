#pragma once

#include <QObject>

// The one-shot hand-off between a turn waiting for the user's answer and the approval card.
class ApprovalRequest : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void resolved(bool approved);
};
