#include "AppModel.h"
#include "EngineFixture.h"
#include "QmlHarness.h"
#include "SceneRenderer.h"
#include "TestSupport.h"
#include "TrayMenu.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

class TestAppModel : public QObject
{
    Q_OBJECT

    static QStringList menuTexts(QMenu *menu)
    {
        QStringList texts;
        for (QAction *action : menu->actions())
            texts << (action->isSeparator() ? QStringLiteral("—") : action->text());
        return texts;
    }

private slots:
    void init() { TestSupport::resetUserData(); }

    void autoLoadAtStart_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("engineInstalled");
        QTest::addColumn<bool>("starts");
        QTest::newRow("path, name and engine") << "/models/a.gguf" << "Model A" << true << true;
        QTest::newRow("no engine installed") << "/models/a.gguf" << "Model A" << false << false;
        QTest::newRow("only the path stored") << "/models/a.gguf" << QString() << true << false;
        QTest::newRow("nothing stored") << QString() << QString() << true << false;
    }

    void autoLoadAtStart()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(bool, engineInstalled);
        QFETCH(bool, starts);
        {
            AgentState stored;
            stored.setAutoLoadModel(path.isEmpty() ? std::nullopt : std::optional<QString>(path),
                                    name.isEmpty() ? std::nullopt : std::optional<QString>(name));
            stored.save();
            stored.flush();
        }
        EngineFixture engine;
        engine.setEngineScript({{QStringLiteral("loadMs"), 50}});
        if (!engineInstalled)
            engine.environment.engineCandidates = {engine.path(QStringLiteral("missing/llama-server"))};

        QmlHarness ui;
        QVERIFY(ui.startMainWindow(engine.environment));
        ServerManager *server = ui.app()->serverManager();
        if (starts) {
            QTRY_VERIFY_WITH_TIMEOUT(server->isRunning(), 10000);
            QCOMPARE(server->activeModelNameText(), name);
            QCOMPARE(EngineFixture::arguments(engine.launches().first()).mid(0, 2), (QStringList{"--model", path}));
            ui.app()->shutDown(); // quitting ends the engine we started
            QVERIFY(!server->isRunning());
            QCOMPARE(server->statusMessage(), QStringLiteral("No model loaded"));
        } else {
            QTest::qWait(100);
            QVERIFY(!server->isStarting() && !server->isRunning());
            QCOMPARE(server->statusMessage(), QStringLiteral("No model loaded"));
            QVERIFY(engine.launches().isEmpty());
        }
    }

    // Without a GPU render node the window draws in software, unless the user chose a backend.
    void rendererChoice()
    {
        QTemporaryDir dri;
        QFile(dri.filePath(QStringLiteral("card0"))).open(QIODevice::WriteOnly);
        QVERIFY(SceneRenderer::wantsSoftware(dri.path(), QByteArray()));
        QVERIFY(!SceneRenderer::wantsSoftware(dri.path(), QByteArray("rhi")));
        QFile(dri.filePath(QStringLiteral("renderD128"))).open(QIODevice::WriteOnly);
        QVERIFY(!SceneRenderer::wantsSoftware(dri.path(), QByteArray()));
    }

    void trayMenu()
    {
        // A small tray host on the test's X display, so the icon can really be shown.
        QProcess tray;
        tray.start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top")});
        QVERIFY(tray.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);

        EngineFixture engine;
        engine.setEngineScript({{QStringLiteral("loadMs"), 0}});
        QmlHarness ui;
        QVERIFY(ui.startMainWindow(engine.environment));
        TrayMenu menu(ui.app(), ui.window());
        QTRY_VERIFY(menu.icon()->isVisible());
        QCOMPARE(menuTexts(menu.menu()),
                 (QStringList{"No model loaded", "—", "New Chat", "Show Morlo AI", "—", "Quit"}));

        const int before = ui.app()->agentState()->sessionCount();
        menu.menu()->actions().at(2)->trigger();
        QCOMPARE(ui.app()->agentState()->sessionCount(), before + 1);

        ServerManager *server = ui.app()->serverManager();
        server->start(engine.path(QStringLiteral("m.gguf")), QStringLiteral("Qwen 2.5 3B Instruct Q4_K_M"));
        QTRY_VERIFY_WITH_TIMEOUT(server->isRunning(), 10000);
        QCOMPARE(menu.menu()->actions().first()->text(), QStringLiteral("Qwen 2.5 3B Instruct Q4_K_M"));
        ui.app()->shutDown();
        QCOMPARE(menu.menu()->actions().first()->text(), QStringLiteral("No model loaded"));

        tray.terminate();
        tray.waitForFinished();
    }
};

QTEST_MAIN(TestAppModel)
#include "tst_app_model.moc"
