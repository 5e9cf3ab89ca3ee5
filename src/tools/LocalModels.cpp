#include "tools/LocalModels.h"

#include "platform/AppPaths.h"
#include "tools/CodePointOrder.h"

#include <QDir>
#include <QFileInfo>

namespace LocalModels {

QString listLocalModels()
{
    constexpr double bytesPerGB = 1073741824.0;
    const QString noModels = QStringLiteral("No models downloaded yet");
    const QDir models(AppPaths::modelsDirectory());
    if (!models.exists())
        return noModels;

    // Files lie one level down, in a folder per hub repository; anything else is not a download.
    const auto visibleEntries = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
    QStringList lines;
    for (const QFileInfo &repository : models.entryInfoList(visibleEntries)) {
        if (!repository.isDir())
            continue;
        for (const QFileInfo &file : QDir(repository.filePath()).entryInfoList(visibleEntries)) {
            if (file.suffix() != QLatin1String("gguf"))
                continue;
            lines.append(file.fileName() + QStringLiteral(" (")
                         + QString::asprintf("%.1f GB", double(file.size()) / bytesPerGB) + QLatin1Char(')'));
        }
    }
    if (lines.isEmpty())
        return noModels;
    sortByCodePoint(lines);
    return lines.join(QLatin1Char('\n'));
}

} // namespace LocalModels
