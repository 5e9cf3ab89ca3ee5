// Random path arguments against the approval card: for every input the card's value must be the
// value the tool acts on, and that value must name the very file the system itself would open
// for the path. Paths inside a throw-away home folder are then really written, and nothing but
// the file shown may change. Prints how many inputs were tried; exits 1 on any mismatch.
//
//   bench_argument_fuzz [count] [seed]
#include "tools/ToolCallResolver.h"
#include "tools/ToolExecutor.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>
#include <pwd.h>
#include <sys/stat.h>

namespace {

// Pieces the model might string together: names, links, steps up and separators, and now and
// then a character that hides or moves text.
const QStringList pieces = {
    QStringLiteral("~"), QStringLiteral("~/"), QStringLiteral("/"), QStringLiteral(".."), QStringLiteral("."),
    QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("link-b"), QStringLiteral("dangling"),
    QStringLiteral("f.txt"), QStringLiteral("new"), QStringLiteral(" "), QStringLiteral("é"),
    QStringLiteral("~root"), QStringLiteral("//"), QStringLiteral("loop"),
};
const QStringList hidingPieces = {
    QStringLiteral("\n"), QStringLiteral("\t"), QStringLiteral("\u202E"), QStringLiteral("\u200B"),
    QStringLiteral("\u2028"), QStringLiteral("\r"), QString(QChar(0)), QStringLiteral("\U000E0041"),
};

// Every file below the folder, links not followed, with its content.
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QFile file(path);
        if (info.isSymLink())
            files.insert(path, "-> " + QFile::encodeName(info.symLinkTarget()));
        else if (info.isFile() && file.open(QIODevice::ReadOnly))
            files.insert(path, file.readAll());
        else
            files.insert(path, "<folder>");
    }
    return files;
}

// What the system opens for the text, with "~", "~user" and relative paths read as the app
// reads them (the system itself knows no "~").
QString asTheSystemSees(const QString &raw, const QString &home)
{
    if (raw.startsWith(QLatin1Char('~'))) {
        const qsizetype slash = raw.indexOf(QLatin1Char('/'));
        const QString user = raw.mid(1, slash < 0 ? -1 : slash - 1);
        const passwd *entry = user.isEmpty() ? nullptr : ::getpwnam(user.toLocal8Bit().constData());
        const QString userHome = user.isEmpty() ? home : entry ? QString::fromLocal8Bit(entry->pw_dir) : QString();
        return userHome + (slash < 0 ? QString() : raw.mid(slash));
    }
    if (raw.startsWith(QLatin1Char('/')))
        return raw;
    return home + QLatin1Char('/') + raw;
}

// Where the system finds a file for the raw text, the resolved path must be that file. (Where
// the system finds none, say after ".." out of a missing folder, the path is resolved by its
// text alone, and the card shows that.)
bool sameFile(const QString &raw, const QString &resolved, bool *found)
{
    struct stat sa, sb;
    *found = ::stat(QFile::encodeName(raw).constData(), &sa) == 0;
    if (!*found)
        return true;
    return ::stat(QFile::encodeName(resolved).constData(), &sb) == 0 && sa.st_dev == sb.st_dev
        && sa.st_ino == sb.st_ino;
}

QString shownPath(const ResolvedAction &action)
{
    for (const QVariant &row : action.card().value(QStringLiteral("rows")).toList())
        if (row.toMap().value(QStringLiteral("icon")) == QLatin1String("folder"))
            return row.toMap().value(QStringLiteral("value")).toString();
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const quint32 seed = argc > 2 ? quint32(std::atoi(argv[2])) : 18;
    QRandomGenerator random(seed);

    QTemporaryDir homeDir;
    const QString home = QFileInfo(homeDir.path()).canonicalFilePath();
    qputenv("HOME", QFile::encodeName(home));
    // A small home, laid out afresh after every write so each input meets the same folder.
    const auto layOut = [&home] {
        QDir(home).removeRecursively();
        QDir().mkpath(home + QStringLiteral("/a/b"));
        QFile seedFile(home + QStringLiteral("/f.txt"));
        seedFile.open(QIODevice::WriteOnly);
        seedFile.write("seed");
        seedFile.close();
        QFile::link(home + QStringLiteral("/a/b"), home + QStringLiteral("/link-b"));
        QFile::link(home + QStringLiteral("/nowhere"), home + QStringLiteral("/a/dangling"));
        QFile::link(home + QStringLiteral("/loop"), home + QStringLiteral("/loop"));
    };
    layOut();

    int refused = 0, compared = 0, written = 0, mismatches = 0;
    const auto mismatch = [&](const char *what, const QString &raw, const QString &detail) {
        ++mismatches;
        if (mismatches <= 10)
            std::printf("MISMATCH %s: %s -> %s\n", what, qPrintable(ToolCallResolver::visibleText(raw)),
                        qPrintable(detail));
    };

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        QString raw;
        const int length = 1 + random.bounded(8);
        for (int p = 0; p < length; ++p) {
            const QStringList &from = random.bounded(12) == 0 ? hidingPieces : pieces;
            raw += from.at(random.bounded(int(from.size())));
        }
        const bool reading = random.bounded(2) == 0;
        const ToolCall call = ToolCall::make(reading ? QStringLiteral("read_file") : QStringLiteral("write_file"),
                                             {{QStringLiteral("path"), raw},
                                              {QStringLiteral("content"), QStringLiteral("written %1").arg(i)}});
        const ResolvedAction action = ToolCallResolver::resolve(call);
        if (!action.refusal.isEmpty()) {
            ++refused;
            if (!ToolCallResolver::hasInvisibleCharacters(raw) && !raw.startsWith(QLatin1String("~"))
                && !action.refusal.contains(QLatin1String("leads nowhere")))
                mismatch("refused a plain path", raw, action.refusal);
            continue;
        }
        const QString acted = action.argument(QStringLiteral("path"))->value;
        const QString shown = shownPath(action);
        if (shown != acted)
            mismatch("card differs from the action", raw, shown + QStringLiteral(" vs ") + acted);
        if (ToolCallResolver::hasInvisibleCharacters(raw) || !acted.startsWith(QLatin1Char('/'))
            || QDir::cleanPath(acted) != acted)
            mismatch("not a clean absolute path", raw, acted);

        if (reading) {
            // The card names the file the system would really open.
            bool found = false;
            if (!sameFile(asTheSystemSees(raw, home), acted, &found))
                mismatch("the system opens another file", raw, acted);
            compared += found ? 1 : 0;
            continue;
        }
        if (!acted.startsWith(home + QLatin1Char('/')))
            continue; // never write outside the throw-away home
        const QMap<QString, QByteArray> before = snapshot(home);
        const QString result = QCoro::waitFor(ToolExecutor::execute(action));
        QMap<QString, QByteArray> after = snapshot(home);
        if (result.startsWith(QLatin1String("File written successfully"))) {
            ++written;
            if (after.value(acted) != QStringLiteral("written %1").arg(i).toUtf8())
                mismatch("the file shown was not the one written", raw, acted);
            after.remove(acted);
            QMap<QString, QByteArray> expected = before;
            expected.remove(acted);
            // Parent folders the write made are new, and are folders.
            for (auto it = after.begin(); it != after.end();)
                it = (!expected.contains(it.key()) && it.value() == "<folder>" && acted.startsWith(it.key() + QLatin1Char('/')))
                    ? after.erase(it) : std::next(it);
            if (after != expected)
                mismatch("another file changed", raw, acted);
            layOut();
        } else if (after != before) {
            mismatch("a failed write changed files", raw, result);
        }
    }
    std::printf("argument fuzz: %d inputs tried (seed %u) in %lld ms: %d refused, %d compared with the "
                "system's own lookup, %d written in a throw-away home, %d mismatches\n",
                count, seed, static_cast<long long>(timer.elapsed()), refused, compared, written, mismatches);
    return mismatches == 0 ? 0 : 1;
}
