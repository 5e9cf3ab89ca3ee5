#include "models/Catalog.h"

#include "platform/PlatformWords.h"

namespace {
HFModel entry(const char *repo, const char *displayName, const QString &description,
              const char *parameterCount, const char *quantization, double sizeGB,
              const char *filename)
{
    ModelVariant variant;
    variant.id = QUuid::createUuid();
    variant.quantization = QString::fromUtf8(quantization);
    variant.sizeGB = sizeGB;
    variant.filename = QString::fromUtf8(filename);
    return HFModel{QUuid::createUuid(), QString::fromUtf8(repo), QString::fromUtf8(displayName),
                   description, QString::fromUtf8(parameterCount), {variant},
                   ModelOrigin::catalog, QString()};
}
} // namespace

const QList<HFModel> &catalog()
{
    static const QList<HFModel> models{
        entry("tessoran/Llama-3.2-3B-Instruct-GGUF", "Llama 3.2 3B Instruct",
              QStringLiteral("Fast and lightweight. Best for quick tasks on %1.").arg(PlatformWords::anyComputer()),
              "3B", "Q4_K_M", 2.0,
              "Llama-3.2-3B-Instruct-Q4_K_M.gguf"),
        entry("tessoran/Meta-Llama-3.1-8B-Instruct-GGUF", "Llama 3.1 8B Instruct",
              QStringLiteral("Best overall quality. Recommended for most users."), "8B", "Q4_K_M", 4.9,
              "Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf"),
        entry("tessoran/Qwen2.5-3B-Instruct-GGUF", "Qwen 2.5 3B Instruct",
              QStringLiteral("Strong reasoning and instruction following. Compact size, %1.")
                  .arg(PlatformWords::anyComputer()),
              "3B",
              "Q4_K_M", 1.9, "Qwen2.5-3B-Instruct-Q4_K_M.gguf"),
    };
    return models;
}
