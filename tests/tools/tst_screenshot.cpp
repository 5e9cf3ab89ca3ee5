#include "tools/Screenshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

class TestScreenshot : public QObject
{
    Q_OBJECT

private slots:
    void scalingKeepsProportionsAndTruncates_data()
    {
        QTest::addColumn<QSize>("capture");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("wide") << QSize(2560, 1440) << QSize(1280, 720);
        QTest::newRow("exact width") << QSize(1280, 800) << QSize(1280, 800);
        QTest::newRow("truncated") << QSize(1281, 2) << QSize(1280, 1);
    }
    void scalingKeepsProportionsAndTruncates()
    {
        QFETCH(QSize, capture);
        QFETCH(QSize, expected);
        QImage image(capture, QImage::Format_RGB32);
        image.fill(Qt::white);
        const QImage scaled = Screenshot::scaledForModel(image);
        QCOMPARE(scaled.size(), expected);
        // The whole capture is drawn, not a corner of it.
        QCOMPARE(scaled.pixelColor(expected.width() - 1, expected.height() - 1), QColor(Qt::white));
    }

    // A private 2560 x 1440 screen, captured by the probe as the app would capture its own.
    void capturesARealScreen()
    {
        QProcess server;
        // The server picks a free display number and prints it once it accepts clients.
        server.start(QStringLiteral("Xvfb"),
                     QStringLiteral("-displayfd 1 -nolisten tcp -screen 0 2560x1440x24").split(QLatin1Char(' ')));
        const auto stopServer = qScopeGuard([&server] {
            server.terminate();
            server.waitForFinished();
        });
        QByteArray display;
        while (!display.contains('\n') && server.waitForReadyRead(10000))
            display += server.readAllStandardOutput();
        QVERIFY2(!display.trimmed().isEmpty(), "Xvfb did not start");

        QTemporaryDir home;
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("Desktop"))));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + QString::fromLatin1(display.trimmed()));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QCoreApplication::applicationDirPath() + QStringLiteral("/screenshot_probe"));
        QVERIFY(probe.waitForFinished(30000));
        const QString result = QString::fromLatin1(probe.readAllStandardOutput());
        const QString prefix = QStringLiteral("data:image/jpeg;base64,");
        QVERIFY2(result.startsWith(prefix), qPrintable(result.left(200) + probe.readAllStandardError()));
        // Standard Base64 on one line: anything else fails to decode.
        const QByteArray jpeg = QByteArray::fromBase64(result.mid(prefix.size()).toLatin1(),
                                                       QByteArray::AbortOnBase64DecodingErrors);
        QImage image;
        QVERIFY(image.loadFromData(jpeg, "JPEG"));
        QCOMPARE(image.size(), QSize(1280, 720));

        // The Desktop copy holds the very same bytes, under the local time of the capture.
        const QStringList copies = QDir(home.filePath(QStringLiteral("Desktop"))).entryList(QDir::Files);
        QCOMPARE(copies.size(), 1);
        static const QRegularExpression name(
            QStringLiteral("^Screenshot_[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}\\.jpg$"));
        QVERIFY2(name.match(copies.first()).hasMatch(), qPrintable(copies.first()));
        QFile copy(home.filePath(QStringLiteral("Desktop/")) + copies.first());
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), jpeg);
    }
};

QTEST_MAIN(TestScreenshot)
#include "tst_screenshot.moc"
