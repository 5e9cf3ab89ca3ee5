// Line splitting of the event stream, whatever pieces the network hands over.
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
};

QTEST_GUILESS_MAIN(TestSseWire)
#include "tst_sse_wire.moc"
