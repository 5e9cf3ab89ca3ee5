#include "SettingsFixture.h"


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
    void engineAlreadyInstalled()
    {
        // An installed engine is ready with or without Homebrew.
        Onboarding f(true, ViewFixture::Brew::missing);
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
        QVERIFY(!f.shown("engineContinueButton") && !f.shown("continueButton") && f.shown("backButton"));
        f.screenshot("onboarding-engine-install");

        f.click("installButton");
        QTRY_VERIFY(f.text("brewOutputLog").contains(QStringLiteral("Pouring")));
        f.screenshot("onboarding-engine-installing");
        QTRY_VERIFY(f.shown("retryInstallButton"));
        QCOMPARE(f.text("installFailure"), QStringLiteral("brew install failed (exit 1)"));
        QVERIFY(!f.shown("engineContinueButton"));
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
        f.type("   \n");
        QCOMPARE(f.step(), 0);
        QVERIFY(!f.find("continueButton")->isEnabled() && !f.shown("backButton"));

        f.type("Linus");
        f.click("continueButton");
        QTRY_COMPARE(f.text("engineTitle"), QStringLiteral("Homebrew Required"));
        QVERIFY(f.text("homebrewCommand").startsWith(QStringLiteral("/bin/bash -c")) && !f.shown("installButton"));
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
};

QTEST_MAIN(TestOnboardingView)
#include "tst_onboarding_view.moc"
