#pragma once

#include <QString>
#include <QStringList>
#include <variant>

// What a GGUF file says about itself, read from its header and metadata (GGUF versions 2 and 3;
// the tensors are never read). Used to check a file the user opens and to name it.
struct GgufFile
{
    QString path;            // the file to load: the first part of a split model
    QStringList parts;       // every part, in order; one entry for a single file
    qint64 sizeBytes = 0;    // all parts together
    QString name;            // "general.name"; empty when the file does not say
    QString quantization;    // from "general.file_type", e.g. "Q4_K_M"; empty when unknown
    QString parameterCount;  // "general.size_label", e.g. "3B"; empty when the file does not say

    // The file's summary, or the reason it cannot be used, in words for the user.
    static std::variant<GgufFile, QString> read(const QString &path);
    // The name shown for it: the metadata's name, else the file name without ".gguf".
    QString displayName() const;

    // "Q4_K_M" in "Llama-3.2-3B-Instruct-Q4_K_M.gguf"; empty when the name holds none.
    static QString quantizationFromFileName(const QString &fileName);
    // The parts of a split model ("-00001-of-00003.gguf") that `path` belongs to, first part
    // first; just `path` for a single file.
    static QStringList splitParts(const QString &path);
};
