#pragma once

#include "conversation/ToolCall.h"
#include "tools/ToolName.h"
#include "tools/UserProcess.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <optional>

// One argument as the tool will use it.
struct ResolvedArgument
{
    QString name;  // exactly the name the tool reads
    QString given; // the model's text, for result texts that name the path as passed
    QString value; // what the tool acts on; for a path the absolute, normalised path
    bool isPath = false;
};

// A tool call turned, once, into exactly what will happen: the card shows these values and the
// dispatcher acts on them, so nothing the model wrote is read again after the user has approved.
struct ResolvedAction
{
    ToolCall call;                     // as the model sent it
    std::optional<ToolName> tool;      // none for a name the app does not know
    QList<ResolvedArgument> arguments; // the ones the tool reads, by name
    QMap<QString, QString> ignored;    // every other argument, shown so that nothing is hidden
    QString refusal;                   // the result text when the call is refused before any card
    QStringList notes;                 // what else will happen ("Moves to Trash", …)
    QList<UserProcess> processesToEnd; // close_app: the processes the card names, and no others

    const ResolvedArgument *argument(const QString &name) const;
    // What the approval card draws: {title, description, rows, ignored, notes}; each row is
    // {icon, tint, label, value, sizeLine}, the value whole with invisible characters shown.
    QVariantMap card() const;
    // The call as kept in the conversation: the values acted on in place of the model's texts.
    ToolCall recorded(ToolStatus status, const QString &result) const;
};

namespace ToolCallResolver {

// Paths: "~" and "~/…" are the home folder, "~user/…" that user's home, other relative paths
// lie in the home folder (never wherever the app was started); ".." steps are taken and links
// in the parent folders resolved the way the system would, so the result is the real place.
// Reading and listing follow a link at the end too; a link being written or trashed is acted on
// itself. A path with control or invisible characters, through a link that leads nowhere, or
// of a user the system does not know is refused, and the call never reaches the card.
ResolvedAction resolve(const ToolCall &call);

// The text with every control, format and separator character made visible: a line feed as
// "⏎" before the break, a tab as "⇥" before it, anything else as its code ("\u202E").
QString visibleText(const QString &text);
bool hasInvisibleCharacters(const QString &text);
// "1,240 characters, 31 lines" for a long or multi-line value; empty for a short one-liner.
QString sizeLine(const QString &text);

} // namespace ToolCallResolver
