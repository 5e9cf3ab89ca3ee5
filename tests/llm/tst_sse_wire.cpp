// Line splitting of the event stream and decoding of the engine's chunk and error objects.
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

    // A long line fed a few bytes at a time, then the same reader goes on with short lines.
    void longLineInSmallPieces()
    {
        SseLineReader reader;
        const QByteArray big(2 * 1024 * 1024, 'z');
        for (qsizetype at = 0; at < big.size(); at += 1000)
            QVERIFY(reader.append(QByteArrayView(big).sliced(at, qMin<qsizetype>(1000, big.size() - at))).isEmpty());
        const QByteArrayList lines = reader.append("\nshort\n");
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(0) == big);
        QCOMPARE(lines.at(1), QByteArray("short"));
    }

    void chunkDecoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<QString>("content");

        QTest::newRow("content") << QByteArray("{\"choices\":[{\"delta\":{\"content\":\"hi\"},\"finish_reason\":null,\"index\":0}],\"x\":1}") << true << "hi";
        QTest::newRow("final chunk") << QByteArray("{\"choices\":[{\"delta\":{},\"finish_reason\":\"stop\"}],\"usage\":{}}") << true << "";
        QTest::newRow("no choices") << QByteArray("{\"delta\":{\"content\":\"hi\"}}") << false << "";
        QTest::newRow("choice without delta") << QByteArray("{\"choices\":[{\"delta\":{\"content\":\"a\"}},{\"index\":1}]}") << false << "";
        QTest::newRow("content of the wrong type") << QByteArray("{\"choices\":[{\"delta\":{\"content\":5}}]}") << false << "";
        QTest::newRow("tool call index not an integer") << QByteArray("{\"choices\":[{\"delta\":{\"tool_calls\":[{\"index\":\"0\"}]}}]}") << false << "";
        QTest::newRow("not an object") << QByteArray("[1,2]") << false << "";
        QTest::newRow("truncated") << QByteArray("{\"choices\":[{\"delta\":") << false << "";
    }

    void chunkDecoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        QFETCH(QString, content);
        const std::optional<OAIStreamChunk> chunk = OAIStreamChunk::decode(json);
        QCOMPARE(chunk.has_value(), decodes);
        if (chunk) {
            QString joined;
            for (const OAIStreamChunk::Choice &choice : chunk->choices)
                joined += choice.delta.content.value_or(QString());
            QCOMPARE(joined, content);
        }
    }

    void toolCallDeltaDecoding()
    {
        const auto chunk = OAIStreamChunk::decode(
            "{\"choices\":[{\"delta\":{\"tool_calls\":[{\"index\":1,\"id\":\"\",\"type\":\"function\",\"function\":{\"name\":\"open_app\",\"arguments\":\"{\\\"\"}},{}]}}]}");
        QVERIFY(chunk);
        const QList<OAIToolCallDelta> calls = chunk->choices.at(0).delta.tool_calls.value();
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls.at(0).index, std::optional<int>(1));
        QCOMPARE(calls.at(0).id, std::optional<QString>(QString("")));
        QCOMPARE(calls.at(0).function->name, std::optional<QString>("open_app"));
        QCOMPARE(calls.at(0).function->arguments, std::optional<QString>("{\""));
        QVERIFY(!calls.at(1).index && !calls.at(1).id && !calls.at(1).function);
    }
};

QTEST_GUILESS_MAIN(TestSseWire)
#include "tst_sse_wire.moc"
