#include "TestSupport.h"
#include "models/GgufFile.h"
#include "models/HFHubClient.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {
// Writes GGUF files by the documented layout: "GGUF", version, tensor count, key count, then
// each key as (length-prefixed key, value type, value), all little-endian.
class GgufWriter
{
public:
    explicit GgufWriter(quint32 version = 3, QByteArray magic = "GGUF") : m_version(version), m_magic(magic) {}

    GgufWriter &text(const QByteArray &key, const QByteArray &value)
    {
        this->key(key, 8);
        string(value);
        return *this;
    }
    GgufWriter &u32(const QByteArray &key, quint32 value)
    {
        this->key(key, 4);
        number(value);
        return *this;
    }
    // Like a tokenizer's vocabulary: an array of strings.
    GgufWriter &texts(const QByteArray &key, const QList<QByteArray> &values)
    {
        this->key(key, 9);
        number<quint32>(8);
        number<quint64>(values.size());
        for (const QByteArray &value : values)
            string(value);
        return *this;
    }
    GgufWriter &floats(const QByteArray &key, int count)
    {
        this->key(key, 9);
        number<quint32>(6);
        number<quint64>(count);
        for (int i = 0; i < count; ++i)
            number<float>(0.5f);
        return *this;
    }

    QByteArray bytes(qsizetype cutTo = -1) const
    {
        QByteArray out = m_magic;
        appendNumber(out, m_version);
        appendNumber<quint64>(out, 0);
        appendNumber<quint64>(out, m_keys);
        out += m_body;
        return cutTo < 0 ? out : out.left(cutTo);
    }

private:
    template<typename T>
    static void appendNumber(QByteArray &out, T value)
    {
        T le = qToLittleEndian(value);
        out.append(reinterpret_cast<const char *>(&le), sizeof le);
    }
    template<typename T>
    void number(T value) { appendNumber(m_body, value); }
    void string(const QByteArray &value)
    {
        number<quint64>(value.size());
        m_body += value;
    }
    void key(const QByteArray &name, quint32 type)
    {
        ++m_keys;
        string(name);
        number(type);
    }

    quint32 m_version;
    QByteArray m_magic;
    QByteArray m_body;
    quint64 m_keys = 0;
};

QString problemOf(const std::variant<GgufFile, QString> &result)
{
    return std::holds_alternative<QString>(result) ? std::get<QString>(result) : QString();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}
} // namespace

class TestGgufFile : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("problem");      // empty = readable
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<QString>("quantization");
        QTest::addColumn<QString>("parameterCount");
        const GgufWriter full = GgufWriter()
            .text("general.architecture", "llama")
            .floats("llama.rope.freqs", 64)
            .texts("tokenizer.ggml.tokens", {"<s>", "</s>", "hello"})
            .text("general.name", "Tiny Chat")
            .u32("general.file_type", 15)
            .text("general.size_label", "1.1B");
        QTest::newRow("names itself") << "tiny-chat-Q8_0.gguf" << full.bytes() << QString() << "Tiny Chat" << "Q4_K_M" << "1.1B";
        // Without metadata the file name speaks for it.
        QTest::newRow("no metadata") << "Mistral-7B-Instruct-v0.3.IQ4_XS.gguf" << GgufWriter().bytes() << QString()
                                     << "Mistral-7B-Instruct-v0.3.IQ4_XS" << "IQ4_XS" << QString();
        QTest::newRow("unknown file type") << "x.gguf" << GgufWriter().u32("general.file_type", 999).bytes() << QString()
                                           << "x" << QString() << QString();
        QTest::newRow("version 2") << "v2.gguf" << GgufWriter(2).text("general.name", "Old").bytes() << QString() << "Old" << QString() << QString();
        QTest::newRow("version 1") << "v1.gguf" << GgufWriter(1).bytes() << "This GGUF version is not supported" << QString() << QString() << QString();
        QTest::newRow("other format") << "model.bin" << GgufWriter(3, "GGML").bytes() << "This is not a GGUF model file" << QString() << QString() << QString();
        QTest::newRow("an HTML page") << "page.gguf" << QByteArray("<!DOCTYPE html><html>Entry not found</html>")
                                      << "This is not a GGUF model file" << QString() << QString() << QString();
        QTest::newRow("empty") << "empty.gguf" << QByteArray() << "This is not a GGUF model file" << QString() << QString() << QString();
        QTest::newRow("cut in its metadata") << "cut.gguf" << full.bytes(full.bytes().size() - 30)
                                             << "This is not a GGUF model file" << QString() << QString() << QString();
        QTest::newRow("absurd length") << "huge.gguf" << GgufWriter().text("general.name", "x").bytes().replace(24, 8, QByteArray("\xff\xff\xff\xff\xff\xff\xff\x7f", 8))
                                       << "This is not a GGUF model file" << QString() << QString() << QString();
    }

    void read()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString path = dir.filePath(fileName);
        writeFile(path, content);
        const std::variant<GgufFile, QString> result = GgufFile::read(path);
        if (!problem.isEmpty()) {
            QVERIFY(std::holds_alternative<QString>(result));
            QCOMPARE(std::get<QString>(result), problem);
            return;
        }
        QVERIFY2(std::holds_alternative<GgufFile>(result), qPrintable(problemOf(result)));
        const GgufFile &file = std::get<GgufFile>(result);
        QCOMPARE(file.path, path);
        QCOMPARE(file.sizeBytes, content.size());
        QTEST(file.displayName(), "displayName");
        QTEST(file.quantization, "quantization");
        QTEST(file.parameterCount, "parameterCount");
    }

    // Any part of a split model loads through its first part and counts every part's size.
    void splitModel_data()
    {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QString>("problem");
        const QStringList all{"big-Q4_K_M-00001-of-00003.gguf", "big-Q4_K_M-00002-of-00003.gguf", "big-Q4_K_M-00003-of-00003.gguf"};
        QTest::newRow("first part") << all << all[0] << QString();
        QTest::newRow("a later part") << all << all[2] << QString();
        QTest::newRow("a part missing") << all.mid(0, 2) << all[1] << "File not found";
    }

    void splitModel()
    {
        QFETCH(QStringList, present);
        QFETCH(QString, opened);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        for (const QString &name : present)
            writeFile(dir.filePath(name), name.contains("00001") ? GgufWriter().text("general.name", "Big").bytes() : QByteArray(1000, 'x'));
        const std::variant<GgufFile, QString> result = GgufFile::read(dir.filePath(opened));
        if (!problem.isEmpty()) {
            QCOMPARE(std::get<QString>(result), problem);
            return;
        }
        const GgufFile &file = std::get<GgufFile>(result);
        QCOMPARE(file.path, dir.filePath(present[0]));
        QCOMPARE(file.parts.size(), 3);
        QCOMPARE(file.sizeBytes, QFileInfo(file.path).size() + 2000);
        QCOMPARE(file.displayName(), QStringLiteral("Big"));
        QCOMPARE(file.quantization, QStringLiteral("Q4_K_M"));
    }

    void realTinyModel()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        const std::variant<GgufFile, QString> result = GgufFile::read(TestSupport::realTinyModel());
        QVERIFY2(std::holds_alternative<GgufFile>(result), qPrintable(problemOf(result)));
        const GgufFile &file = std::get<GgufFile>(result);
        QCOMPARE(file.sizeBytes, QFileInfo(TestSupport::realTinyModel()).size());
        QVERIFY(!file.displayName().isEmpty());
    }

    void hubReference_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("repo");      // empty = not a reference
        QTest::addColumn<QString>("filename");
        QTest::newRow("owner/name") << " bartowski/Qwen2.5-3B-Instruct-GGUF " << "bartowski/Qwen2.5-3B-Instruct-GGUF" << QString();
        QTest::newRow("repository page") << "https://huggingface.co/owner/Some.Model-GGUF" << "owner/Some.Model-GGUF" << QString();
        QTest::newRow("file address") << "https://huggingface.co/owner/m/resolve/main/m-Q4_K_M.gguf?download=true" << "owner/m" << "m-Q4_K_M.gguf";
        QTest::newRow("blob address in a folder") << "https://huggingface.co/owner/m/blob/main/q4/m-Q4_K_M.gguf" << "owner/m" << "q4/m-Q4_K_M.gguf";
        QTest::newRow("a dataset") << "https://huggingface.co/datasets/owner/data" << QString() << QString();
        QTest::newRow("one word") << "llama" << QString() << QString();
        QTest::newRow("three parts") << "a/b/c" << QString() << QString();
        QTest::newRow("empty") << "" << QString() << QString();
    }

    void hubReference()
    {
        QFETCH(QString, text);
        QFETCH(QString, repo);
        const std::optional<HubReference> reference = HFHubClient::parseReference(text);
        QCOMPARE(reference.has_value(), !repo.isEmpty());
        if (reference) {
            QCOMPARE(reference->repo, repo);
            QTEST(reference->filename, "filename");
        }
    }
};

QTEST_GUILESS_MAIN(TestGgufFile)
#include "tst_gguf_file.moc"
