#include "tools/FileActions.h"

#include "tools/CodePointOrder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

namespace FileActions {

namespace {

ActionError notFound(const QString &path)
{
    return {QStringLiteral("FileOp"), 404, QStringLiteral("File not found: ") + path};
}

ActionError posixError(int error, const QString &path)
{
    return {QStringLiteral("POSIX"), error, path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error))};
}

ActionError fileError(const QFileDevice &file)
{
    return {QStringLiteral("QFileDevice"), int(file.error()), file.errorString()};
}

// Whether something is at the path, following links the way the file manager does.
bool exists(const QString &expanded)
{
    return QFileInfo::exists(expanded);
}

} // namespace

TextResult readFile(const ResolvedArgument &argument)
{
    const QString &expanded = argument.value;
    const QString &path = argument.given;
    if (!exists(expanded))
        return notFound(path);
    if (QFileInfo(expanded).isDir())
        return posixError(EISDIR, path);
    QFile file(expanded);
    if (!file.open(QIODevice::ReadOnly))
        return fileError(file);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fileError(file);
    // Stateless, so a sequence cut off at the end of the file counts as invalid too.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return ActionError{QStringLiteral("QStringConverter"), 1,
                           QStringLiteral("The file is not valid UTF-8 text: ") + path};
    return text;
}

std::optional<ActionError> writeFile(const QString &content, const ResolvedArgument &argument)
{
    const QString &expanded = argument.value;
    const QString &path = argument.given;
    const QFileInfo target(expanded);
    if (!QDir().mkpath(target.absolutePath()))
        return ActionError{QStringLiteral("FileOp"), 513,
                           QStringLiteral("Could not create the folder ") + target.absolutePath()};

    // Write beside the target and rename over it: readers never see half a file, and a link at
    // the path is replaced instead of followed to wherever it points.
    QTemporaryFile temporary(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
    temporary.setAutoRemove(true);
    if (!temporary.open())
        return fileError(temporary);
    const QByteArray bytes = content.toUtf8();
    if (temporary.write(bytes) != bytes.size() || !temporary.flush())
        return fileError(temporary);

    struct stat existing;
    const bool replacesPlainFile = ::lstat(QFile::encodeName(expanded).constData(), &existing) == 0
                                   && S_ISREG(existing.st_mode);
    mode_t mode = existing.st_mode & 07777;
    if (!replacesPlainFile) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(temporary.handle(), mode);

    if (::rename(QFile::encodeName(temporary.fileName()).constData(), QFile::encodeName(expanded).constData()) != 0)
        return posixError(errno, path);
    temporary.setAutoRemove(false);
    return std::nullopt;
}

TextResult listFiles(const ResolvedArgument &argument)
{
    const QString &expanded = argument.value;
    const QString &directory = argument.given;
    // Ask the system first so a missing folder, a file or a locked folder each says what it is.
    if (DIR *handle = ::opendir(QFile::encodeName(expanded).constData()))
        ::closedir(handle);
    else
        return posixError(errno, directory);

    const QFileInfoList entries = QDir(expanded).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    QStringList names;
    for (const QFileInfo &entry : entries) {
        // A link is listed under its own name and is not marked, whatever it points to.
        const bool isFolder = entry.isDir() && !entry.isSymLink();
        names.append(isFolder ? entry.fileName() + QLatin1Char('/') : entry.fileName());
    }
    if (names.isEmpty())
        return QStringLiteral("(empty)");
    sortByCodePoint(names);
    return names.join(QLatin1Char('\n'));
}

std::optional<ActionError> trashFile(const ResolvedArgument &argument)
{
    const QString &expanded = argument.value;
    const QString &path = argument.given;
    if (!exists(expanded))
        return notFound(path);
    // Without the data folder the trash cannot be set up and the move would drop the file into
    // the current directory instead; make sure the Trash has a home first.
    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!QDir().mkpath(dataFolder))
        return ActionError{QStringLiteral("FileOp"), 513, QStringLiteral("Could not set up the Trash in ") + dataFolder};
    QFile item(expanded);
    if (!item.moveToTrash())
        return fileError(item);
    return std::nullopt;
}

} // namespace FileActions
