#include "models/GgufFile.h"
#include "models/HFHubClient.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {
// GGUF files by the documented layout: "GGUF", version, tensor count, key count, then each key as
// (length-prefixed key, value type, value), all little-endian.
template<typename T>
QByteArray le(T value)
{
    const T little = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&little), sizeof little);
}
QByteArray text(const QByteArray &value) { return le<quint64>(value.size()) + value; }
QByteArray key(const QByteArray &name, quint32 type, const QByteArray &value) { return text(name) + le(type) + value; }
QByteArray textKey(const QByteArray &name, const QByteArray &value) { return key(name, 8, text(value)); }
QByteArray gguf(const QByteArrayList &keys, quint32 version = 3, const QByteArray &magic = "GGUF")
{
    return magic + le(version) + le<quint64>(0) + le<quint64>(keys.size()) + keys.join();
}

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
        // Arrays of numbers and of texts, as a tokenizer has, come before the names.
        const QByteArray full = gguf({textKey("general.architecture", "llama"),
                                      key("llama.rope.freqs", 9, le<quint32>(6) + le<quint64>(64) + QByteArray(256, 0)),
                                      key("tokenizer.ggml.tokens", 9, le<quint32>(8) + le<quint64>(2) + text("<s>") + text("hello")),
                                      textKey("general.name", "Tiny Chat"), key("general.file_type", 4, le<quint32>(15)),
                                      textKey("general.size_label", "1.1B")});
        QTest::newRow("names itself") << "tiny-chat-Q8_0.gguf" << full << QString() << "Tiny Chat" << "Q4_K_M" << "1.1B";
        // Without metadata the file name speaks for it.
        QTest::newRow("no metadata") << "Mistral-7B-Instruct-v0.3.IQ4_XS.gguf" << gguf({}) << QString()
                                     << "Mistral-7B-Instruct-v0.3.IQ4_XS" << "IQ4_XS" << QString();
        QTest::newRow("unknown file type") << "x.gguf" << gguf({key("general.file_type", 4, le<quint32>(999))}) << QString()
                                           << "x" << QString() << QString();
        QTest::newRow("version 2") << "v2.gguf" << gguf({textKey("general.name", "Old")}, 2) << QString() << "Old" << QString() << QString();
        QTest::newRow("version 1") << "v1.gguf" << gguf({}, 1) << "This GGUF version is not supported" << QString() << QString() << QString();
        QTest::newRow("other format") << "model.bin" << gguf({}, 3, "GGML") << "This is not a GGUF model file" << QString() << QString() << QString();
        QTest::newRow("an HTML page") << "page.gguf" << QByteArray("<!DOCTYPE html><html>Entry not found</html>")
                                      << "This is not a GGUF model file" << QString() << QString() << QString();
        QTest::newRow("cut in its metadata") << "cut.gguf" << full.chopped(30)
                                             << "This is not a GGUF model file" << QString() << QString() << QString();
        QTest::newRow("absurd length") << "huge.gguf" << gguf({textKey("general.name", "x")}).replace(24, 8, QByteArray("\xff\xff\xff\xff\xff\xff\xff\x7f", 8))
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
            writeFile(dir.filePath(name), name.contains("00001") ? gguf({textKey("general.name", "Big")}) : QByteArray(1000, 'x'));
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

    void hubReference_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("repo");      // empty = not a reference
        QTest::addColumn<QString>("filename");
        QTest::newRow("repository page") << "https://huggingface.co/owner/Some.Model-GGUF" << "owner/Some.Model-GGUF" << QString();
        QTest::newRow("file address") << "https://huggingface.co/owner/m/resolve/main/m-Q4_K_M.gguf?download=true" << "owner/m" << "m-Q4_K_M.gguf";
        QTest::newRow("blob address in a folder") << "https://huggingface.co/owner/m/blob/main/q4/m-Q4_K_M.gguf" << "owner/m" << "q4/m-Q4_K_M.gguf";
        QTest::newRow("a dataset") << "https://huggingface.co/datasets/owner/data" << QString() << QString();
        QTest::newRow("three parts") << "a/b/c" << QString() << QString();
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
