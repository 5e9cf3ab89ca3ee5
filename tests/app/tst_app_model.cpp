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

    void rendererChoice_data()
    {
        QTest::addColumn<bool>("gpuDevice");
        QTest::addColumn<QByteArray>("chosen");
        QTest::addColumn<bool>("software");
        QTest::newRow("no GPU device") << false << QByteArray() << true;
        QTest::newRow("a GPU device") << true << QByteArray() << false;
        QTest::newRow("the user's choice stands") << false << QByteArray("rhi") << false;
    }

    void rendererChoice()
    {
        QFETCH(bool, gpuDevice);
        QFETCH(QByteArray, chosen);
        QFETCH(bool, software);
        QTemporaryDir dri;
        QFile(dri.filePath(QStringLiteral("card0"))).open(QIODevice::WriteOnly);
        if (gpuDevice)
            QFile(dri.filePath(QStringLiteral("renderD128"))).open(QIODevice::WriteOnly);
        QCOMPARE(SceneRenderer::wantsSoftware(dri.path(), chosen), software);
    }

    void newChatShortcut()
    {
        EngineFixture engine;
        QmlHarness ui;
        QVERIFY(ui.startMainWindow(engine.environment));
        AgentState *state = ui.app()->agentState();
        // An empty chat would be reused: give the open one a message.
        state->appendMessage(Message::make(Roles::user, QStringLiteral("hello")));
        state->syncActiveSession();
        const int before = state->sessionCount();
        ui.pressKey(Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(state->sessionCount(), before + 1);
        QCOMPARE(state->activeSessionTitle(), QStringLiteral("New Chat"));

        // Ctrl+, opens the settings window at its fixed size.
        ui.pressKey(Qt::Key_Comma, Qt::ControlModifier);
        QWindow *settings = nullptr;
        QTRY_VERIFY((settings = [] {
            for (QWindow *w : QGuiApplication::topLevelWindows())
                if (w->title() == QLatin1String("Settings") && w->isVisible())
                    return w;
            return static_cast<QWindow *>(nullptr);
        }()));
        QCOMPARE(settings->size(), QSize(540, 540));
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
