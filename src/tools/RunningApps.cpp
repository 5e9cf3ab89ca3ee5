#include "tools/AppleScriptExecutor.h"

#include "tools/CodePointOrder.h"
#include "tools/DesktopEntry.h"
#include "tools/UserProcess.h"

#include <QSet>

namespace AppleScriptExecutor {

QString listRunningApps()
{
    // Only applications the user can see in a menu count, the way a dock shows them; helpers
    // and hidden entries stay out. Each application is listed once however many processes it has.
    QList<DesktopEntry> visible;
    for (const DesktopEntry &entry : DesktopEntry::installed()) {
        if (entry.visible && !entry.name.isEmpty())
            visible.append(entry);
    }
    const QList<UserProcess> processes = UserProcess::running();
    QSet<QString> listedIds;
    QStringList names;
    for (const DesktopEntry &entry : visible) {
        const bool runs = std::any_of(processes.begin(), processes.end(),
                                      [&](const UserProcess &process) { return process.belongsTo(entry); });
        if (runs && !listedIds.contains(entry.id)) {
            listedIds.insert(entry.id);
            names.append(entry.name);
        }
    }
    sortByCodePoint(names);
    return names.join(QLatin1Char('\n'));
}

} // namespace AppleScriptExecutor
