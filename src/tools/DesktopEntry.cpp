#include "tools/DesktopEntry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QStandardPaths>

namespace {

// Undoes the escapes every desktop-file string value may hold (\s \n \t \r \\).
QString unescapeValue(const QString &value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        switch (next.unicode()) {
        case 's': out += QLatin1Char(' '); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 't': out += QLatin1Char('\t'); break;
        case 'r': out += QLatin1Char('\r'); break;
        default: out += next; break;
        }
    }
    return out;
}

struct ExecToken
{
    QString text;
    bool hasFieldCode = false;
};

// Splits an Exec value into arguments: double quotes group, and inside them a backslash keeps
// the next character. Launch field codes (%f, %U, …) are dropped and "%%" is a plain "%".
QList<ExecToken> splitExec(const QString &exec)
{
    QList<ExecToken> tokens;
    ExecToken current;
    bool inToken = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == QLatin1Char('"'))
                quoted = false;
            else if (c == QLatin1Char('\\') && i + 1 < exec.size())
                current.text += exec[++i];
            else
                current.text += c;
        } else if (c == QLatin1Char('"')) {
            quoted = inToken = true;
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inToken)
                tokens.append(current);
            current = {};
            inToken = false;
        } else if (c == QLatin1Char('%') && i + 1 < exec.size()) {
            inToken = true;
            if (exec[++i] == QLatin1Char('%'))
                current.text += QLatin1Char('%');
            else
                current.hasFieldCode = true;
        } else {
            current.text += c;
            inToken = true;
        }
    }
    if (inToken)
        tokens.append(current);
    return tokens;
}

// The executable the name stands for, or nothing when it is not installed.
QString executablePath(const QString &program)
{
    const QString path = program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    return !path.isEmpty() && QFileInfo(path).isExecutable() ? path : QString();
}

QString bareId(QString id)
{
    id.chop(int(qstrlen(".desktop")));
    return id;
}

} // namespace

bool DesktopEntry::isNamed(const QString &wanted) const
{
    if (wanted.isEmpty())
        return false;
    const auto same = [&](const QString &candidate) { return candidate.compare(wanted, Qt::CaseInsensitive) == 0; };
    return same(id) || same(bareId(id)) || std::any_of(names.begin(), names.end(), same);
}

bool DesktopEntry::ownsWindowClass(const QString &instance, const QString &windowClass) const
{
    if (!startupWMClass.isEmpty())
        return startupWMClass == instance || startupWMClass == windowClass;
    const QString bare = bareId(id);
    return bare.compare(instance, Qt::CaseInsensitive) == 0 || bare.compare(windowClass, Qt::CaseInsensitive) == 0;
}

std::optional<DesktopEntry> DesktopEntry::parse(const QByteArray &contents, const QString &id)
{
    QHash<QString, QString> values;
    bool inMainGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (inMainGroup && equals > 0)
            values.insert(line.left(equals).trimmed(), unescapeValue(line.mid(equals + 1).trimmed()));
    }

    const auto isTrue = [&](const char *key) { return values.value(QLatin1String(key)) == QLatin1String("true"); };
    if (values.value(QStringLiteral("Type")) != QLatin1String("Application") || isTrue("Hidden"))
        return std::nullopt;
    const QString tryExec = values.value(QStringLiteral("TryExec"));
    if (!tryExec.isEmpty() && executablePath(tryExec).isEmpty())
        return std::nullopt;

    QList<ExecToken> tokens = splitExec(values.value(QStringLiteral("Exec")));
    // "env VAR=value program …" starts the program itself; the wrapper is not what runs.
    if (!tokens.isEmpty() && QFileInfo(tokens.first().text).fileName() == QLatin1String("env")) {
        tokens.removeFirst();
        while (!tokens.isEmpty() && (tokens.first().text.contains(QLatin1Char('='))
                                     || tokens.first().text.startsWith(QLatin1Char('-'))))
            tokens.removeFirst();
    }
    if (tokens.isEmpty() || tokens.first().hasFieldCode)
        return std::nullopt;

    DesktopEntry entry;
    entry.id = id;
    entry.command = executablePath(tokens.takeFirst().text);
    if (entry.command.isEmpty())
        return std::nullopt;
    entry.program = QFileInfo(entry.command).canonicalFilePath();
    for (const ExecToken &token : tokens) {
        if (!token.hasFieldCode)
            entry.arguments.append(token.text);
    }

    const QString locale = QLocale::system().name(); // "de_DE"
    const QStringList localizedKeys{QStringLiteral("Name[%1]").arg(locale),
                                    QStringLiteral("Name[%1]").arg(locale.section(QLatin1Char('_'), 0, 0)),
                                    QStringLiteral("Name")};
    for (const QString &key : localizedKeys) {
        if (entry.name.isEmpty())
            entry.name = values.value(key);
    }
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (it.key() == QLatin1String("Name") || it.key().startsWith(QLatin1String("Name[")))
            entry.names.append(it.value());
    }
    entry.workingDirectory = values.value(QStringLiteral("Path"));
    entry.startupWMClass = values.value(QStringLiteral("StartupWMClass"));
    entry.visible = !isTrue("NoDisplay");
    return entry;
}

QList<DesktopEntry> DesktopEntry::installed()
{
    QList<DesktopEntry> entries;
    QSet<QString> seenIds;
    for (const QString &root : QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
        QDirIterator it(root, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString id = QDir(root).relativeFilePath(path).replace(QLatin1Char('/'), QLatin1Char('-'));
            if (seenIds.contains(id))
                continue;
            seenIds.insert(id); // a hidden or broken entry still hides the same id further down
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            if (auto entry = parse(file.readAll(), id))
                entries.append(*entry);
        }
    }
    return entries;
}

std::optional<DesktopEntry> DesktopEntry::find(const QString &name)
{
    // Only applications the user can see in a menu: hidden helpers (an interpreter's entry, say)
    // share their program with much else the user runs.
    for (const DesktopEntry &entry : installed()) {
        if (entry.visible && entry.isNamed(name))
            return entry;
    }
    return std::nullopt;
}
