#include "EngineScript.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QSaveFile>

namespace {

QJsonObject greeting()
{
    return QJsonObject{{"chunks", QJsonArray{"Hello", " from", " the", " fake", " engine."}}};
}

} // namespace

EngineScript EngineScript::load(const QStringList &argv)
{
    EngineScript script;
    script.m_sinceStart.start();
    const qsizetype keyAt = argv.indexOf(QStringLiteral("--api-key"));
    script.m_apiKey = keyAt >= 0 ? argv.value(keyAt + 1).toUtf8() : qgetenv("LLAMA_API_KEY");
    const QString path = qEnvironmentVariable("MORLO_FAKE_ENGINE_SCRIPT");
    if (path.isEmpty())
        return script;

    QFile file(path);
    QJsonObject root;
    if (file.open(QIODevice::ReadOnly))
        root = QJsonDocument::fromJson(file.readAll()).object();

    // Launches are counted on disk so that a restarted engine can behave differently.
    QFile counter(path + QStringLiteral(".launches"));
    if (counter.open(QIODevice::ReadOnly))
        script.m_launch = counter.readAll().trimmed().toInt() + 1;
    counter.close();
    QSaveFile counterOut(path + QStringLiteral(".launches"));
    if (counterOut.open(QIODevice::WriteOnly)) {
        counterOut.write(QByteArray::number(script.m_launch));
        counterOut.commit();
    }

    if (root.contains(QStringLiteral("starts"))) {
        const QJsonArray starts = root.value(QStringLiteral("starts")).toArray();
        if (!starts.isEmpty())
            script.m_start = starts.at(qMin(script.m_launch, int(starts.size())) - 1).toObject();
    } else {
        script.m_start = root;
    }
    script.m_replies = root.value(QStringLiteral("replies")).toArray();
    script.m_requestLog = root.value(QStringLiteral("requestLog")).toString();

    const QString launchLog = root.value(QStringLiteral("launchLog")).toString();
    if (!launchLog.isEmpty()) {
        QJsonObject env;
        const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
        for (const QString &name : {QStringLiteral("DYLD_LIBRARY_PATH"), QStringLiteral("LD_LIBRARY_PATH")}) {
            if (system.contains(name))
                env.insert(name, system.value(name));
        }
        const QJsonObject entry{{"argv", QJsonArray::fromStringList(argv)},
                                {"env", env},
                                {"launch", script.m_launch},
                                {"pid", QCoreApplication::applicationPid()}};
        appendLine(launchLog, QJsonDocument(entry).toJson(QJsonDocument::Compact));
    }
    return script;
}

bool EngineScript::isLoaded() const
{
    return m_sinceStart.elapsed() >= m_start.value(QStringLiteral("loadMs")).toInteger(0);
}

QJsonObject EngineScript::nextReply(bool requestHasTools)
{
    while (m_nextReply < m_replies.size()) {
        const qsizetype index = m_nextReply;
        const bool isLast = index == m_replies.size() - 1;
        if (!isLast)
            ++m_nextReply;
        const QJsonObject reply = m_replies.at(index).toObject();
        const QJsonValue whenTools = reply.value(QStringLiteral("whenTools"));
        if (whenTools.isUndefined())
            return reply;
        if (requestHasTools)
            return whenTools.toObject();
        if (isLast)
            break;
    }
    return greeting();
}

void EngineScript::logRequest(const QByteArray &body) const
{
    if (m_requestLog.isEmpty())
        return;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    // A body that is not JSON is still recorded, as a JSON string, so the log stays one JSON per line.
    const QByteArray line = error.error == QJsonParseError::NoError
        ? document.toJson(QJsonDocument::Compact)
        : QJsonDocument(QJsonArray{QString::fromUtf8(body)}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    appendLine(m_requestLog, line);
}

void EngineScript::appendLine(const QString &path, const QByteArray &line)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line + '\n');
}
