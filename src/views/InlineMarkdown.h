#pragma once

#include <QString>

// Inline Markdown of one line or paragraph to rich text: strong (** or __), emphasis (* or _),
// strikethrough (~~), code spans and [links](url); backslash escapes. There is no block
// structure at all, and the work is linear in the text, so any length renders without a stall.
namespace InlineMarkdown {

QString toHtml(const QString &text);

// Only web and mail links open; anything else (file:, javascript:, a custom app's scheme) is
// shown as text and never handed to the desktop.
bool canOpen(const QString &url);

} // namespace InlineMarkdown
