#pragma once

#include <QObject>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

struct ToolCall;

// The activity rows of one batch of tool calls: every call that was handled (run, refused or
// denied) leaves one row saying what was done and what came of it. The rows are drawn from the
// calls kept with the batch's results, so they come back when the conversation is reopened.
class ToolActivity : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // toolCalls as the message list gives them ({name, arguments, status, result}); each row is
    // {icon, tint: "green"|"red"|"secondary", action, result}. Calls not yet handled (as in
    // conversations kept before activity was recorded) give no row.
    Q_INVOKABLE static QVariantList rows(const QVariantList &toolCalls);

    // "Wrote ~/notes.txt", "Read the clipboard"; for a call that did not run, its title and
    // target ("Write File ~/notes.txt").
    static QString action(const ToolCall &call);
};
