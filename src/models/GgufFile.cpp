#include "models/GgufFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>
#include <array>
#include <optional>

namespace {
// Value types of the metadata.
enum GgufType : quint32 {
    U8, I8, U16, I16, U32, I32, F32, Bool, String, Array, U64, I64, F64,
};
constexpr std::array<int, 13> fixedWidths{1, 1, 2, 2, 4, 4, 4, 1, 0, 0, 8, 8, 8};
// No real key or name is longer; a larger length means a damaged file.
constexpr quint64 longestText = 1 << 20;

// llama.cpp's file types, by number, as quantisation names.
QString fileTypeName(quint32 type)
{
    static const QHash<quint32, QString> names{
        {0, QStringLiteral("F32")},     {1, QStringLiteral("F16")},     {2, QStringLiteral("Q4_0")},
        {3, QStringLiteral("Q4_1")},    {7, QStringLiteral("Q8_0")},    {8, QStringLiteral("Q5_0")},
        {9, QStringLiteral("Q5_1")},    {10, QStringLiteral("Q2_K")},   {11, QStringLiteral("Q3_K_S")},
        {12, QStringLiteral("Q3_K_M")}, {13, QStringLiteral("Q3_K_L")}, {14, QStringLiteral("Q4_K_S")},
        {15, QStringLiteral("Q4_K_M")}, {16, QStringLiteral("Q5_K_S")}, {17, QStringLiteral("Q5_K_M")},
        {18, QStringLiteral("Q6_K")},   {19, QStringLiteral("IQ2_XXS")},{20, QStringLiteral("IQ2_XS")},
        {21, QStringLiteral("Q2_K_S")}, {22, QStringLiteral("IQ3_XS")}, {23, QStringLiteral("IQ3_XXS")},
        {24, QStringLiteral("IQ1_S")},  {25, QStringLiteral("IQ4_NL")}, {26, QStringLiteral("IQ3_S")},
        {27, QStringLiteral("IQ3_M")},  {28, QStringLiteral("IQ2_S")},  {29, QStringLiteral("IQ2_M")},
        {30, QStringLiteral("IQ4_XS")}, {31, QStringLiteral("IQ1_M")},  {32, QStringLiteral("BF16")},
        {36, QStringLiteral("TQ1_0")},  {37, QStringLiteral("TQ2_0")},  {38, QStringLiteral("MXFP4")},
    };
    return names.value(type);
}

// Little-endian reads that fail (return nothing) at the end of the file.
class Reader
{
public:
    explicit Reader(QFile &file) : m_file(file) {}

    template<typename T>
    std::optional<T> number()
    {
        T value;
        if (m_file.read(reinterpret_cast<char *>(&value), sizeof value) != sizeof value)
            return std::nullopt;
        return qFromLittleEndian(value);
    }

    std::optional<QByteArray> text()
    {
        const std::optional<quint64> length = number<quint64>();
        if (!length || *length > longestText)
            return std::nullopt;
        QByteArray bytes = m_file.read(static_cast<qint64>(*length));
        if (bytes.size() != static_cast<qsizetype>(*length))
            return std::nullopt;
        return bytes;
    }

    bool skip(quint32 type)
    {
        if (type == String)
            return text().has_value();
        if (type == Array) {
            const std::optional<quint32> itemType = number<quint32>();
            const std::optional<quint64> count = number<quint64>();
            if (!itemType || !count || *itemType == Array || *itemType >= fixedWidths.size())
                return false;
            if (*itemType != String)
                return m_file.seek(m_file.pos() + static_cast<qint64>(*count) * fixedWidths[*itemType])
                    && m_file.pos() <= m_file.size();
            for (quint64 i = 0; i < *count; ++i)
                if (!text())
                    return false;
            return true;
        }
        if (type >= fixedWidths.size())
            return false;
        return m_file.read(fixedWidths[type]).size() == fixedWidths[type];
    }

private:
    QFile &m_file;
};

const QString notGguf = QStringLiteral("This is not a GGUF model file");
} // namespace

std::variant<GgufFile, QString> GgufFile::read(const QString &path)
{
    GgufFile result;
    result.parts = splitParts(path);
    result.path = result.parts.first();
    for (const QString &part : std::as_const(result.parts)) {
        if (!QFileInfo(part).isFile())
            return QStringLiteral("File not found");
        result.sizeBytes += QFileInfo(part).size();
    }
    QFile file(result.path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("The file cannot be read: ") + file.errorString();
    if (file.read(4) != "GGUF")
        return notGguf;
    Reader reader(file);
    const std::optional<quint32> version = reader.number<quint32>();
    const std::optional<quint64> tensorCount = reader.number<quint64>();
    const std::optional<quint64> keyCount = reader.number<quint64>();
    // Version 1 counted in 32 bits and has not been written since 2023.
    if (!version || *version < 2 || !tensorCount || !keyCount)
        return QStringLiteral("This GGUF version is not supported");
    for (quint64 k = 0; k < *keyCount; ++k) {
        const std::optional<QByteArray> key = reader.text();
        const std::optional<quint32> type = reader.number<quint32>();
        if (!key || !type)
            return notGguf;
        if (*key == "general.name" && *type == String) {
            result.name = QString::fromUtf8(reader.text().value_or(QByteArray())).trimmed();
        } else if (*key == "general.size_label" && *type == String) {
            result.parameterCount = QString::fromUtf8(reader.text().value_or(QByteArray())).trimmed();
        } else if (*key == "general.file_type" && (*type == U32 || *type == I32)) {
            result.quantization = fileTypeName(reader.number<quint32>().value_or(~0u));
        } else if (!reader.skip(*type)) {
            return notGguf;
        }
        // The names come first in files written by llama.cpp; the rest is tokenizer and tensors.
        if (!result.name.isEmpty() && !result.quantization.isEmpty() && !result.parameterCount.isEmpty())
            break;
    }
    if (result.quantization.isEmpty())
        result.quantization = quantizationFromFileName(QFileInfo(result.path).fileName());
    return result;
}

QString GgufFile::displayName() const
{
    if (!name.isEmpty())
        return name;
    QString base = QFileInfo(path).fileName();
    base.remove(QRegularExpression(QStringLiteral("(-\\d{5}-of-\\d{5})?\\.gguf$"), QRegularExpression::CaseInsensitiveOption));
    return base;
}

QString GgufFile::quantizationFromFileName(const QString &fileName)
{
    static const QRegularExpression quantPattern(
        QStringLiteral("(?:^|[-_.])((?:IQ\\d_(?:XXS|XS|S|M|NL)|Q\\d_K(?:_[SML])?|Q\\d_\\d|TQ\\d_0|BF16|F16|F32|MXFP4))(?=[-_.])"),
        QRegularExpression::CaseInsensitiveOption);
    QString found;
    for (const QRegularExpressionMatch &match : quantPattern.globalMatch(fileName))
        found = match.captured(1).toUpper();
    return found;
}

QStringList GgufFile::splitParts(const QString &path)
{
    static const QRegularExpression partPattern(QStringLiteral("^(.*)-(\\d{5})-of-(\\d{5})\\.gguf$"),
                                                QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = partPattern.match(path);
    if (!match.hasMatch())
        return {path};
    const int count = match.captured(3).toInt();
    if (count < 1)
        return {path};
    QStringList parts;
    for (int i = 1; i <= count; ++i)
        parts.append(QStringLiteral("%1-%2-of-%3.gguf").arg(match.captured(1)).arg(i, 5, 10, QLatin1Char('0')).arg(match.captured(3)));
    return parts;
}
