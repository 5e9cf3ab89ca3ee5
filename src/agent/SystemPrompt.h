#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

// The system prompt every request starts with, and the reply cleaning that keeps echoed
// instructions and tool output out of the visible answer. Everything here is pure.
namespace SystemPrompt {

// The fixed text that teaches the model the one-line tool-call syntax (436 bytes of UTF-8).
const QString &toolInstructionBlock();

// Names whose bracketed echo lines ("[read_file]: …") are removed from replies.
const QStringList &echoToolNames();

// What the prompt is built from; read afresh for every request.
struct Inputs
{
    QString systemPrompt;                         // the store's global prompt
    std::optional<QString> sessionPromptOverride; // the active session's, when present
    QString userName;                             // empty = not given
    QString responseStyle;                        // "concise", "balanced", "detailed" or anything
    QString home;                                 // the folder named on the "Home: " line
};

QString compose(const Inputs &inputs);

// What the line filter needs to know about one line: the line without surrounding spaces and
// tabs, where its first ']' sits (-1 = none), and whether it mentions "empty" or "contains".
// Kept separately so a line that is still growing can be judged without rescanning it.
struct LineFacts
{
    QStringView trimmed;
    qsizetype firstCloseBracket = -1;
    bool mentionsEmptyOrContains = false;
};

bool isDisplayable(const LineFacts &facts);

// True when the line may be shown; false for tool-call lines and echoed instructions.
bool isDisplayableLine(QStringView line);

// The reply without its undisplayable lines, trimmed of white space at both ends.
QString sanitizeReply(const QString &text);

// Spaces and tabs only: line breaks (a carriage return included) are part of the line.
bool isSpaceOrTab(QChar c);
QStringView trimSpacesAndTabs(QStringView line);

} // namespace SystemPrompt
