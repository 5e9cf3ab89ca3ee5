#include "SettingsFixture.h"

#include "../engine/LocalReleases.h"
#include "AppModel.h"
#include "OnboardingFlow.h"
#include "platform/AppPaths.h"

namespace {

// The onboarding sheet, started; finished() counts how often it closed itself.
struct Onboarding : ViewFixture
{
    Onboarding(bool engineInstalled, Brew brew) : ViewFixture(engineInstalled, brew)
    {
        QVERIFY(start(QStringLiteral("OnboardingView.qml"), {500, 480}));
        finished = std::make_unique<QSignalSpy>(view(), SIGNAL(finished()));
    }

    // The step shown once its slide-in has finished (a moving page takes no clicks).
    int step() const
    {
        QQuickItem *pages = find(QStringLiteral("stepPages"));
        if (!QTest::qWaitFor([pages] { return !pages->property("busy").toBool(); }, 3000))
            return -1;  // still sliding: no step to speak of
        return view()->property("step").toInt();
    }

    void type(const QString &text) { harness->typeText(find(QStringLiteral("nameField")), text); }
    void click(const QString &objectName) { harness->click(objectName); }
    // Presses a button and tells the step it led to.
    int go(const QString &objectName)
    {
        click(objectName);
        return step();
    }
    void screenshot(const QString &name) { harness->saveScreenshot(name); }

    std::unique_ptr<QSignalSpy> finished;
};

} // namespace

class TestOnboardingView : public QObject
{
    Q_OBJECT

private slots:
    // An install that succeeded counts as ready even before the engine is found where it is looked for.
    void engineReadyAfterInstall()
    {
        QVERIFY(OnboardingFlow::engineReady(false, QStringLiteral("succeeded")));
    }

    void engineAlreadyInstalled()
    {
        // An installed engine is ready with or without Homebrew.
        Onboarding f(true, ViewFixture::Brew::missing);
        f.screenshot("onboarding-name");
        f.type("  Ada  ");
        QCOMPARE(f.go("continueButton"), 2);
        QCOMPARE(f.go("backButton"), 0);

        // Return always shows the engine step, here in its ready state.
        f.type("\n");
        QCOMPARE(f.step(), 1);
        QTRY_COMPARE(f.text("engineTitle"), QStringLiteral("AI Engine Ready"));
        QCOMPARE(f.text("engineContinueButton"), QStringLiteral("Continue"));
        f.screenshot("onboarding-engine-ready");
        QCOMPARE(f.go("engineContinueButton"), 2);

        QTRY_VERIFY(f.shown("style_concise"));
        f.click("style_concise");
        QCOMPARE(f.text("continueButton"), QStringLiteral("Get Started"));
        f.screenshot("onboarding-style");
        QVERIFY(!DefaultsStore().contains(DefaultsKeys::userName));

        // No model yet: the starter prompt first; Skip finishes without a download.
        f.click("continueButton");
        QTRY_VERIFY(f.opened("starterPrompt"));
        QCOMPARE(f.finished->size(), 0);
        f.screenshot("onboarding-starter-prompt");
        f.click("starterSkipButton");
        QCOMPARE(f.finished->size(), 1);
        DefaultsStore defaults;
        QCOMPARE(defaults.text(DefaultsKeys::userName), QStringLiteral("Ada"));
        QCOMPARE(defaults.text(DefaultsKeys::responseStyle), QStringLiteral("concise"));
        QCOMPARE(defaults.boolean(DefaultsKeys::onboardingComplete, false), true);
        QVERIFY(!f.models->hasActiveSession(f.models->models().first().variants.first().id));
    }

    // A failed install offers Try Again; the second run succeeds and the flow moves on by itself.
    void installThroughHomebrew()
    {
        Onboarding f(false, ViewFixture::Brew::present);
        qputenv("MORLO_FAKE_BREW_PIECES", "1 ==> Fetching llama.cpp\\n\n1 ==> Pouring llama.cpp\\n\n1 done\\n");
        qputenv("MORLO_FAKE_BREW_EXIT", "1");
        qputenv("MORLO_FAKE_BREW_DELAY", "0.3");
        qunsetenv("MORLO_FAKE_BREW_ENGINE");
        f.type("Grace");
        QCOMPARE(f.go("continueButton"), 1);
        QTRY_COMPARE(f.text("engineTitle"), QStringLiteral("Install AI Engine"));
        // No way forward until the engine is there; Back stays.
        QVERIFY(!f.shown("engineContinueButton"));
        QVERIFY(!f.shown("continueButton"));
        QVERIFY(f.shown("backButton"));
        f.screenshot("onboarding-engine-install");
        QCOMPARE(f.go("backButton"), 0);
        f.type("\n");
        QCOMPARE(f.step(), 1);

        f.click("installButton");
        QTRY_VERIFY(f.text("brewOutputLog").contains(QStringLiteral("Pouring")));
        f.screenshot("onboarding-engine-installing");
        QTRY_VERIFY(f.shown("retryInstallButton"));
        QCOMPARE(f.text("installFailure"), QStringLiteral("brew install failed (exit 1)"));
        QVERIFY(!f.shown("engineContinueButton"));
        QCOMPARE(f.step(), 1);
        f.screenshot("onboarding-engine-failed");

        qputenv("MORLO_FAKE_BREW_EXIT", "0");
        qputenv("MORLO_FAKE_BREW_ENGINE", f.enginePath.toUtf8());
        f.click("retryInstallButton");
        QTRY_COMPARE(f.step(), 2);
        QVERIFY(QFileInfo::exists(f.enginePath));

        // With a model on disk, Get Started closes at once.
        f.download(1);
        f.click("continueButton");
        QCOMPARE(f.finished->size(), 1);
        QCOMPARE(DefaultsStore().text(DefaultsKeys::responseStyle), QStringLiteral("balanced"));
    }

    void withoutHomebrew()
    {
        Onboarding f(false, ViewFixture::Brew::missing);
        // A name of spaces is refused, by the button and by Return.
        QVERIFY(!f.find("continueButton")->isEnabled());
        f.type("   \n");
        QCOMPARE(f.step(), 0);
        QVERIFY(!f.find("continueButton")->isEnabled());
        QVERIFY(!f.shown("backButton"));

        f.type("Linus");
        f.click("continueButton");
        QTRY_COMPARE(f.text("engineTitle"), QStringLiteral("Homebrew Required"));
        QVERIFY(f.text("homebrewCommand").startsWith(QStringLiteral("/bin/bash -c")));
        QVERIFY(!f.shown("installButton"));
        QCOMPARE(f.text("engineContinueButton"), QStringLiteral("Skip"));
        f.screenshot("onboarding-engine-homebrew-missing");
        QCOMPARE(f.go("engineContinueButton"), 2);
        // Without an engine, Back from the last step shows the engine step again.
        QCOMPARE(f.go("backButton"), 1);
        QCOMPARE(f.go("engineContinueButton"), 2);

        QTRY_VERIFY(f.shown("style_detailed"));
        f.click("style_detailed");
        f.click("continueButton");
        QTRY_VERIFY(f.opened("starterPrompt"));
        QSignalSpy library(f.models.get(), &ModelManager::variantChanged);
        f.click("starterDownloadButton");
        QCOMPARE(f.finished->size(), 1);
        QCOMPARE(DefaultsStore().text(DefaultsKeys::responseStyle), QStringLiteral("detailed"));
        // The starter download began in the library on the catalogue's first file.
        QTRY_VERIFY(!library.isEmpty());
        QCOMPARE(library.first(), (QList<QVariant>{0, 0}));
    }

    // A first run on a computer with no engine at all: one click fetches llama.cpp's own build,
    // and a model then runs on it.
    void downloadsTheEngine()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        TestSupport::resetUserData();
        // Slow enough to watch the progress.
        LocalReleases releases({QStringLiteral("--rate"), QStringLiteral("1500000")});
        QVERIFY(releases.isListening());
        EngineFixture engine;
        EngineEnvironment environment = engine.environment;
        environment.engineCandidates.clear();
        environment.homebrewLocations.clear();
        environment.engineDirectory = AppPaths::appSupportDirectory() + QStringLiteral("/engine");
        environment.releasesURL = releases.releasesURL(QStringLiteral("latest"));
        environment.preferVulkan = false;
        environment.pollIntervalMs = 100;
        environment.lastPoll = 300;

        QmlHarness ui;
        QVERIFY(ui.startMainWindow(environment));
        ServerManager *server = ui.app()->serverManager();
        ui.typeText(ui.find(QStringLiteral("nameField")), QStringLiteral("Ada"));
        ui.click(QStringLiteral("continueButton"));
        const auto text = [&](const QString &name) { return ui.find(name)->property("text").toString(); };
        QTRY_COMPARE(text(QStringLiteral("engineTitle")), QStringLiteral("Get the AI Engine"));
        QTRY_VERIFY(text(QStringLiteral("engineOffer")).startsWith(QStringLiteral("llama.cpp b4748 · CPU build · ")));
        QVERIFY(text(QStringLiteral("engineOffer")).endsWith(QStringLiteral(" MB")));
        QCOMPARE(text(QStringLiteral("engineContinueButton")), QStringLiteral("Skip"));
        // A page still sliding in takes no clicks.
        QTRY_VERIFY(!ui.find(QStringLiteral("stepPages"))->property("busy").toBool());
        ui.saveScreenshot(QStringLiteral("onboarding-engine-download"));

        ui.click(QStringLiteral("downloadEngineButton"));
        QTRY_VERIFY_WITH_TIMEOUT(server->engineInstaller()->progress() > 0.2, 20000);
        QVERIFY(ui.find(QStringLiteral("engineProgress"))->isVisible());
        QVERIFY(text(QStringLiteral("engineProgressText")).contains(QStringLiteral(" MB · ")));
        ui.saveScreenshot(QStringLiteral("onboarding-engine-downloading"));

        QTRY_COMPARE_WITH_TIMEOUT(text(QStringLiteral("engineTitle")), QStringLiteral("AI Engine Ready"), 60'000);
        QCOMPARE(text(QStringLiteral("engineSource")), QStringLiteral("llama.cpp (downloaded b4748)"));
        QCOMPARE(text(QStringLiteral("engineContinueButton")), QStringLiteral("Continue"));
        ui.saveScreenshot(QStringLiteral("onboarding-engine-downloaded"));
        ui.click(QStringLiteral("engineContinueButton"));
        QTRY_VERIFY(ui.find(QStringLiteral("style_balanced")));
        ui.click(QStringLiteral("continueButton"));
        ui.click(QStringLiteral("starterSkipButton"));
        QVERIFY(DefaultsStore().boolean(DefaultsKeys::onboardingComplete, false));

        // A real model loads on the downloaded engine.
        ModelManager *models = ui.app()->modelManager();
        const HFModel model = models->models().first();
        const QString file = ModelManager::localFileURL(model, model.variants.first()).toLocalFile();
        QDir().mkpath(QFileInfo(file).absolutePath());
        QVERIFY(QFile::copy(TestSupport::realTinyModel(), file));
        models->refreshDownloadStatus();
        QVERIFY(server->engineExecutablePathText().startsWith(QFileInfo(environment.engineDirectory).canonicalFilePath() + QStringLiteral("/b4748/")));
        models->loadVariant(models->models().first(), models->models().first().variants.first());
        QTRY_VERIFY_WITH_TIMEOUT(server->isRunning(), 60'000);
        QVERIFY(server->statusMessage().startsWith(QStringLiteral("Ready — ")));
        ui.click(QStringLiteral("tab_settings"));
        QTRY_COMPARE(text(QStringLiteral("engineReadyText")), QStringLiteral("llama.cpp ready (downloaded b4748)"));
        QVERIFY(ui.find(QStringLiteral("uninstallButton"))->isVisible());
        ui.saveScreenshot(QStringLiteral("settings-engine-downloaded-model-ready"));
        QCoro::waitFor(server->stopServer());
    }
};

QTEST_MAIN(TestOnboardingView)
#include "tst_onboarding_view.moc"
