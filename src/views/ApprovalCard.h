#pragma once

#include <QObject>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

// What the approval card shows for one tool call: the action row, then one row per argument in
// name order, each with its icon and label, and the tool's one-line description.
class ApprovalCard : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // call = {name, arguments: {name: text}} as the state store publishes it. Each row is
    // {icon, tint: "blue"|"secondary", label, value}.
    Q_INVOKABLE static QVariantList rows(const QVariantMap &call);
    Q_INVOKABLE static QString argumentIcon(const QString &argumentName);
    // Each space-separated word with its first letter upper-cased and the rest lower-cased.
    Q_INVOKABLE static QString argumentLabel(const QString &argumentName);
    // The tool's display title, or the raw name for a tool the app does not know.
    Q_INVOKABLE static QString actionTitle(const QString &toolName);
    // The tool's one-line description; empty for a tool the app does not know.
    Q_INVOKABLE static QString description(const QString &toolName);
};
