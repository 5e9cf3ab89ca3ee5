#pragma once

#include <QObject>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

// What the approval card shows for the pending call: the rows the turn resolved for it (the
// values the tool will act on), the ignored arguments, the notes and the tool's description.
class ApprovalCard : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // call = {id, name, arguments, card} as the state store publishes it. A call published
    // without its card (not through a turn) is resolved here, the same way.
    Q_INVOKABLE static QVariantMap card(const QVariantMap &call);
};
