#include "ApprovalCard.h"

#include "tools/ToolName.h"

QVariantList ApprovalCard::rows(const QVariantMap &call)
{
    const QString name = call.value(QStringLiteral("name")).toString();
    QVariantList result{QVariantMap{{QStringLiteral("icon"), QStringLiteral("wrench.and.screwdriver.fill")},
                                    {QStringLiteral("tint"), QStringLiteral("blue")},
                                    {QStringLiteral("label"), QStringLiteral("Action")},
                                    {QStringLiteral("value"), actionTitle(name)}}};
    // QVariantMap iterates in key order: the arguments come out sorted by name.
    const QVariantMap arguments = call.value(QStringLiteral("arguments")).toMap();
    for (auto it = arguments.cbegin(); it != arguments.cend(); ++it)
        result.append(QVariantMap{{QStringLiteral("icon"), argumentIcon(it.key())},
                                  {QStringLiteral("tint"), QStringLiteral("secondary")},
                                  {QStringLiteral("label"), argumentLabel(it.key())},
                                  {QStringLiteral("value"), it.value().toString()}});
    return result;
}

QString ApprovalCard::argumentIcon(const QString &argumentName)
{
    const QString name = argumentName.toLower();
    if (name == QLatin1String("path") || name == QLatin1String("directory"))
        return QStringLiteral("folder");
    if (name == QLatin1String("content"))
        return QStringLiteral("doc.text");
    if (name == QLatin1String("app_name") || name == QLatin1String("name"))
        return QStringLiteral("app.badge");
    if (name == QLatin1String("text"))
        return QStringLiteral("text.quote");
    return QStringLiteral("chevron.right");
}

QString ApprovalCard::argumentLabel(const QString &argumentName)
{
    QStringList words = argumentName.split(QLatin1Char(' '));
    for (QString &word : words)
        if (!word.isEmpty())
            word = word.left(1).toUpper() + word.mid(1).toLower();
    return words.join(QLatin1Char(' '));
}

QString ApprovalCard::actionTitle(const QString &toolName)
{
    const auto tool = Tools::toolNameFrom(toolName);
    return tool ? Tools::title(*tool) : toolName;
}

QString ApprovalCard::description(const QString &toolName)
{
    const auto tool = Tools::toolNameFrom(toolName);
    return tool ? Tools::summary(*tool) : QString();
}
