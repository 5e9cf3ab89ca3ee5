// Line splitting of the event stream and decoding of the engine's chunk objects.
#include "llm/OAITypes.h"
#include "llm/SseLineReader.h"

#include <QTest>

class TestSseWire : public QObject
{
    Q_OBJECT

private slots:
    void lineSplitting_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QByteArrayList>("lines");
        QTest::addColumn<QByteArray>("rest");

        QTest::newRow("LF lines and empty lines") << QByteArrayList{"a\n\nb\n"} << QByteArrayList{"a", "", "b"} << QByteArray();
        QTest::newRow("CRLF") << QByteArrayList{"a\r\n\r\nb\r\n"} << QByteArrayList{"a", "", "b"} << QByteArray();
        QTest::newRow("CR and LF in different pieces") << QByteArrayList{"data: x\r", "\nnext"} << QByteArrayList{"data: x"}
                                                       << QByteArray("next");
        QTest::newRow("a line over many pieces") << QByteArrayList{"da", "ta", ": ", "[DONE]", "\n"} << QByteArrayList{"data: [DONE]"}
                                                 << QByteArray();
        QTest::newRow("lone CR stays inside the line") << QByteArrayList{"a\rb\n"} << QByteArrayList{"a\rb"} << QByteArray();
        QTest::newRow("unterminated last line with CR") << QByteArrayList{"x\ny\r"} << QByteArrayList{"x"} << QByteArray("y");
        QTest::newRow("UTF-8 split inside a character") << QByteArrayList{"\xc3", "\xa9\n"} << QByteArrayList{"\xc3\xa9"} << QByteArray();
    }

    void lineSplitting()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QByteArrayList, lines);
        QFETCH(QByteArray, rest);
        SseLineReader reader;
        QByteArrayList seen;
        for (const QByteArray &piece : pieces)
            seen += reader.append(piece);
        QCOMPARE(seen, lines);
        QCOMPARE(reader.finish(), rest);
        QCOMPARE(reader.finish(), QByteArray());
    }

    void chunkDecoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("content"); // of all choices, joined; "-" when the chunk does not decode

        QTest::newRow("content") << QByteArray(R"({"choices":[{"delta":{"content":"hi"},"finish_reason":null,"index":0}],"x":1})") << "hi";
        QTest::newRow("final chunk") << QByteArray(R"({"choices":[{"delta":{},"finish_reason":"stop"}],"usage":{}})") << "";
        QTest::newRow("no choices") << QByteArray(R"({"delta":{"content":"hi"}})") << "-";
        QTest::newRow("choice without delta") << QByteArray(R"({"choices":[{"delta":{"content":"a"}},{"index":1}]})") << "-";
        QTest::newRow("content of the wrong type") << QByteArray(R"({"choices":[{"delta":{"content":5}}]})") << "-";
        QTest::newRow("tool call index not an integer") << QByteArray(R"({"choices":[{"delta":{"tool_calls":[{"index":"0"}]}}]})") << "-";
        QTest::newRow("not an object") << QByteArray("[1,2]") << "-";
        QTest::newRow("truncated") << QByteArray(R"({"choices":[{"delta":)") << "-";
    }

    void chunkDecoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, content);
        const std::optional<OAIStreamChunk> chunk = OAIStreamChunk::decode(json);
        QString joined = chunk ? QString() : QStringLiteral("-");
        for (const OAIStreamChunk::Choice &choice : chunk ? chunk->choices : QList<OAIStreamChunk::Choice>{})
            joined += choice.delta.content.value_or(QString());
        QCOMPARE(joined, content);
    }
};

QTEST_GUILESS_MAIN(TestSseWire)
#include "tst_sse_wire.moc"
