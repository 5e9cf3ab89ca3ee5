#include "InlineMarkdown.h"

#include <QSet>
#include <QUrl>

namespace InlineMarkdown {

namespace {

// How far a link's closing bracket or a code span's closing run is looked for.
constexpr qsizetype lookahead = 4096;

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber();
}

void appendEscaped(QString &out, QChar c)
{
    switch (c.unicode()) {
    case '<': out += QLatin1String("&lt;"); break;
    case '>': out += QLatin1String("&gt;"); break;
    case '&': out += QLatin1String("&amp;"); break;
    case '"': out += QLatin1String("&quot;"); break;
    case '\n': out += QLatin1String("<br>"); break;
    default:
        // Control characters other than line breaks and tabs have no business in the view.
        if (c.category() == QChar::Other_Control && c != QLatin1Char('\t'))
            out += QChar(0xFFFD);
        else
            out += c;
    }
}

void appendEscaped(QString &out, QStringView text)
{
    for (QChar c : text)
        appendEscaped(out, c);
}

qsizetype runLength(const QString &text, qsizetype at, QChar c)
{
    qsizetype end = at;
    while (end < text.size() && text.at(end) == c)
        ++end;
    return end - at;
}

} // namespace

bool canOpen(const QString &url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid())
        return false;
    if (scheme == QLatin1String("mailto"))
        return !parsed.path().isEmpty();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !parsed.host().isEmpty();
}

QString toHtml(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    bool strong = false;
    bool emphasis = false;
    bool strike = false;
    QSet<qsizetype> unmatchedTicks; // backtick run lengths known to have no closing run ahead

    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = text.at(i);
        const QChar prev = i > 0 ? text.at(i - 1) : QChar(u' ');
        if (c == QLatin1Char('\\') && i + 1 < n && text.at(i + 1).unicode() < 128
            && text.at(i + 1).isPunct()) {
            appendEscaped(out, text.at(i + 1));
            i += 2;
            continue;
        }
        if (c == QLatin1Char('`')) {
            const qsizetype ticks = runLength(text, i, c);
            qsizetype close = -1;
            if (!unmatchedTicks.contains(ticks)) {
                const QString fence(ticks, c);
                for (qsizetype from = i + ticks; from < n && from < i + ticks + lookahead;) {
                    const qsizetype found = text.indexOf(fence, from);
                    if (found < 0 || found >= i + ticks + lookahead)
                        break;
                    if (runLength(text, found, c) == ticks) {
                        close = found;
                        break;
                    }
                    from = found + runLength(text, found, c);
                }
                if (close < 0 && text.indexOf(fence, i + ticks) < 0)
                    unmatchedTicks.insert(ticks);
            }
            if (close < 0) {
                out += QString(ticks, c);
            } else {
                out += QLatin1String("<code>");
                appendEscaped(out, QStringView(text).mid(i + ticks, close - i - ticks));
                out += QLatin1String("</code>");
                i = close;
            }
            i += ticks;
            continue;
        }
        if (c == QLatin1Char('[')) {
            const qsizetype bracket = text.indexOf(QLatin1Char(']'), i + 1);
            const qsizetype paren = bracket > 0 && bracket + 1 < n && text.at(bracket + 1) == QLatin1Char('(')
                ? text.indexOf(QLatin1Char(')'), bracket + 2) : -1;
            if (bracket > 0 && bracket - i < lookahead && paren > 0 && paren - bracket < lookahead) {
                const QString url = text.mid(bracket + 2, paren - bracket - 2).trimmed();
                const QStringView label = QStringView(text).mid(i + 1, bracket - i - 1);
                if (canOpen(url)) {
                    out += QLatin1String("<a href=\"");
                    appendEscaped(out, url);
                    out += QLatin1String("\">");
                    appendEscaped(out, label);
                    out += QLatin1String("</a>");
                } else {
                    // Any other scheme is not a link: the reader sees the label and the target.
                    appendEscaped(out, label);
                    out += QLatin1String(" (");
                    appendEscaped(out, url);
                    out += QLatin1Char(')');
                }
                i = paren + 1;
                continue;
            }
        }
        if (c == QLatin1Char('~') && i + 1 < n && text.at(i + 1) == c) {
            out += strike ? QLatin1String("</s>") : QLatin1String("<s>");
            strike = !strike;
            i += 2;
            continue;
        }
        if (c == QLatin1Char('*') || c == QLatin1Char('_')) {
            const bool dbl = i + 1 < n && text.at(i + 1) == c;
            const qsizetype width = dbl ? 2 : 1;
            const QChar next = i + width < n ? text.at(i + width) : QChar(u' ');
            bool &open = dbl ? strong : emphasis;
            // Opening needs text right after it, closing text right before it; an underscore
            // inside a word (snake_case) is just a character.
            const bool canOpen = !open && !next.isSpace() && !(c == QLatin1Char('_') && isWordChar(prev));
            const bool canClose = open && !prev.isSpace() && !(c == QLatin1Char('_') && isWordChar(next));
            if (canOpen || canClose) {
                const char *tag = dbl ? (open ? "</b>" : "<b>") : (open ? "</i>" : "<i>");
                out += QLatin1String(tag);
                open = !open;
                i += width;
                continue;
            }
        }
        appendEscaped(out, c);
        ++i;
    }
    if (strike)
        out += QLatin1String("</s>");
    if (emphasis)
        out += QLatin1String("</i>");
    if (strong)
        out += QLatin1String("</b>");
    return out;
}

} // namespace InlineMarkdown
