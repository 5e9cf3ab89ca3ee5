#include "SettingsFixture.h"

#include "OnboardingFlow.h"
#include "conversation/DefaultsStore.h"

#include <QSignalSpy>

namespace {

bool isShown(QmlHarness &ui, const QString &objectName)
{
    QQuickItem *item = ui.find(objectName, 200);
    return item && item->isVisible();
}

QQuickItem *root(QmlHarness &ui)
{
    return ui.window()->contentItem()->childItems().first();
}

// The step shown once its slide-in has finished (a moving page takes no clicks).
int step(QmlHarness &ui)
{
    QQuickItem *pages = ui.find(QStringLiteral("stepPages"));
    if (!QTest::qWaitFor([pages] { return !pages->property("busy").toBool(); }, 3000))
        return -1; // still sliding: no step to speak of
    return root(ui)->property("step").toInt();
}

} // namespace

class TestOnboardingView : public QObject
{
    Q_OBJECT

private slots:
    void navigation_data();
    void navigation();
    void engineStepChoices_data();
    void engineStepChoices();
    void engineAlreadyInstalled();
    void installThroughHomebrew_data();
    void installThroughHomebrew();
    void withoutHomebrew();
    void blankNameIsRefused();
};

void TestOnboardingView::navigation_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<bool>("engineReady");
    QTest::addColumn<int>("forward");
    QTest::addColumn<int>("back");
    QTest::newRow("name, engine missing") << 0 << false << 1 << 0;
    QTest::newRow("name, engine ready skips the engine step") << 0 << true << 2 << 0;
    QTest::newRow("engine step") << 1 << false << 2 << 0;
    QTest::newRow("style, engine missing") << 2 << false << 3 << 1;
    QTest::newRow("style, engine ready goes back to the name") << 2 << true << 3 << 0;
}

void TestOnboardingView::navigation()
{
    QFETCH(int, from);
    QFETCH(bool, engineReady);
    QFETCH(int, forward);
    QFETCH(int, back);
    QCOMPARE(OnboardingFlow::forwardStep(from, engineReady), forward);
    QCOMPARE(OnboardingFlow::backStep(from, engineReady), back);
}

void TestOnboardingView::engineStepChoices_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("installState");
    QTest::addColumn<bool>("homebrew");
    QTest::addColumn<QString>("shows");
    QTest::addColumn<QString>("forward");
    QTest::newRow("installed") << true << "idle" << true << "ready" << "continue";
    QTest::newRow("installed without Homebrew") << true << "idle" << false << "ready" << "continue";
    QTest::newRow("install just succeeded") << false << "succeeded" << true << "ready" << "continue";
    QTest::newRow("Homebrew, engine missing") << false << "idle" << true << "install" << "";
    QTest::newRow("install failed") << false << "failed" << true << "install" << "";
    QTest::newRow("no Homebrew") << false << "idle" << false << "homebrewMissing" << "skip";
}

void TestOnboardingView::engineStepChoices()
{
    QFETCH(bool, installed);
    QFETCH(QString, installState);
    QFETCH(bool, homebrew);
    QFETCH(QString, shows);
    QFETCH(QString, forward);
    const bool ready = OnboardingFlow::engineReady(installed, installState);
    QCOMPARE(OnboardingFlow::engineStepState(ready, homebrew), shows);
    QCOMPARE(OnboardingFlow::engineStepForward(ready, homebrew), forward);
}

void TestOnboardingView::engineAlreadyInstalled()
{
    ViewFixture f(true, ViewFixture::Brew::present);
    QVERIFY(f.start(QStringLiteral("OnboardingView.qml"), {500, 480}));
    QmlHarness &ui = *f.harness;
    QSignalSpy finished(root(ui), SIGNAL(finished()));
    ui.saveScreenshot(QStringLiteral("onboarding-name"));

    ui.typeText(ui.find(QStringLiteral("nameField")), QStringLiteral("  Ada  "));
    ui.click(QStringLiteral("continueButton"));
    QCOMPARE(step(ui), 2);
    ui.click(QStringLiteral("backButton"));
    QCOMPARE(step(ui), 0);

    // Return always shows the engine step, here in its ready state.
    ui.typeText(ui.find(QStringLiteral("nameField")), QStringLiteral("\n"));
    QCOMPARE(step(ui), 1);
    QTRY_COMPARE(textOf(ui.find(QStringLiteral("engineTitle"))), QStringLiteral("AI Engine Ready"));
    QCOMPARE(textOf(ui.find(QStringLiteral("engineContinueButton"))), QStringLiteral("Continue"));
    ui.saveScreenshot(QStringLiteral("onboarding-engine-ready"));
    ui.click(QStringLiteral("engineContinueButton"));
    QCOMPARE(step(ui), 2);

    QCOMPARE(step(ui), 2);
    QTRY_VERIFY(isShown(ui, QStringLiteral("style_concise")));
    ui.click(QStringLiteral("style_concise"));
    QCOMPARE(textOf(ui.find(QStringLiteral("continueButton"))), QStringLiteral("Get Started"));
    ui.saveScreenshot(QStringLiteral("onboarding-style"));
    QVERIFY(!DefaultsStore().contains(DefaultsKeys::userName));

    // No model yet: the starter prompt first; Skip finishes without a download.
    ui.click(QStringLiteral("continueButton"));
    QTRY_VERIFY(ui.findObject(QStringLiteral("starterPrompt"))->property("opened").toBool());
    QCOMPARE(finished.size(), 0);
    ui.saveScreenshot(QStringLiteral("onboarding-starter-prompt"));
    ui.click(QStringLiteral("starterSkipButton"));
    QCOMPARE(finished.size(), 1);
    DefaultsStore defaults;
    QCOMPARE(defaults.text(DefaultsKeys::userName), QStringLiteral("Ada"));
    QCOMPARE(defaults.text(DefaultsKeys::responseStyle), QStringLiteral("concise"));
    QCOMPARE(defaults.boolean(DefaultsKeys::onboardingComplete, false), true);
    QVERIFY(!f.models->hasActiveSession(f.models->models().first().variants.first().id));
}

void TestOnboardingView::installThroughHomebrew_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::newRow("install succeeds") << 0;
    QTest::newRow("install fails") << 1;
}

void TestOnboardingView::installThroughHomebrew()
{
    QFETCH(int, exitCode);
    ViewFixture f(false, ViewFixture::Brew::present);
    qputenv("MORLO_FAKE_BREW_EXIT", QByteArray::number(exitCode));
    qputenv("MORLO_FAKE_BREW_PIECES", "1 ==> Fetching llama.cpp\\n\n1 ==> Pouring llama.cpp\\n\n1 done\\n");
    qputenv("MORLO_FAKE_BREW_DELAY", "0.3");
    if (exitCode != 0)
        qunsetenv("MORLO_FAKE_BREW_ENGINE");
    QVERIFY(f.start(QStringLiteral("OnboardingView.qml"), {500, 480}));
    QmlHarness &ui = *f.harness;
    QSignalSpy finished(root(ui), SIGNAL(finished()));

    ui.typeText(ui.find(QStringLiteral("nameField")), QStringLiteral("Grace"));
    ui.click(QStringLiteral("continueButton"));
    QCOMPARE(step(ui), 1);
    QTRY_COMPARE(textOf(ui.find(QStringLiteral("engineTitle"))), QStringLiteral("Install AI Engine"));
    // No way forward until the engine is there; Back stays.
    QVERIFY(!isShown(ui, QStringLiteral("engineContinueButton")));
    QVERIFY(!isShown(ui, QStringLiteral("continueButton")));
    QVERIFY(isShown(ui, QStringLiteral("backButton")));
    ui.saveScreenshot(QStringLiteral("onboarding-engine-install"));

    ui.click(QStringLiteral("installButton"));
    QTRY_VERIFY(textOf(ui.find(QStringLiteral("brewOutputLog"))).contains(QStringLiteral("Pouring")));
    QVERIFY(isShown(ui, QStringLiteral("brewOutputLog")));
    ui.saveScreenshot(QStringLiteral("onboarding-engine-installing"));

    if (exitCode != 0) {
        QTRY_VERIFY(isShown(ui, QStringLiteral("retryInstallButton")));
        QCOMPARE(textOf(ui.find(QStringLiteral("installFailure"))), QStringLiteral("brew install failed (exit 1)"));
        QVERIFY(!isShown(ui, QStringLiteral("engineContinueButton")));
        QCOMPARE(step(ui), 1);
        ui.saveScreenshot(QStringLiteral("onboarding-engine-failed"));
        // Try Again runs the install once more, this time successfully.
        qputenv("MORLO_FAKE_BREW_EXIT", "0");
        qputenv("MORLO_FAKE_BREW_ENGINE", f.enginePath.toUtf8());
        ui.click(QStringLiteral("retryInstallButton"));
    }
    // A finished install moves on by itself.
    QTRY_COMPARE(step(ui), 2);
    QVERIFY(QFileInfo::exists(f.enginePath));

    f.download(1);
    ui.click(QStringLiteral("continueButton"));
    // With a model on disk, Get Started closes at once.
    QCOMPARE(finished.size(), 1);
    QCOMPARE(DefaultsStore().text(DefaultsKeys::responseStyle), QStringLiteral("balanced"));
}

void TestOnboardingView::withoutHomebrew()
{
    ViewFixture f(false, ViewFixture::Brew::missing);
    QVERIFY(f.start(QStringLiteral("OnboardingView.qml"), {500, 480}));
    QmlHarness &ui = *f.harness;
    QSignalSpy finished(root(ui), SIGNAL(finished()));

    ui.typeText(ui.find(QStringLiteral("nameField")), QStringLiteral("Linus"));
    ui.click(QStringLiteral("continueButton"));
    QTRY_COMPARE(textOf(ui.find(QStringLiteral("engineTitle"))), QStringLiteral("Homebrew Required"));
    QVERIFY(textOf(ui.find(QStringLiteral("homebrewCommand"))).startsWith(QStringLiteral("/bin/bash -c")));
    QVERIFY(!isShown(ui, QStringLiteral("installButton")));
    QCOMPARE(textOf(ui.find(QStringLiteral("engineContinueButton"))), QStringLiteral("Skip"));
    ui.saveScreenshot(QStringLiteral("onboarding-engine-homebrew-missing"));
    ui.click(QStringLiteral("engineContinueButton"));
    QCOMPARE(step(ui), 2);

    QCOMPARE(step(ui), 2);
    QTRY_VERIFY(isShown(ui, QStringLiteral("style_detailed")));
    ui.click(QStringLiteral("style_detailed"));
    ui.click(QStringLiteral("continueButton"));
    QTRY_VERIFY(ui.findObject(QStringLiteral("starterPrompt"))->property("opened").toBool());
    QSignalSpy library(f.models.get(), &ModelManager::variantChanged);
    ui.click(QStringLiteral("starterDownloadButton"));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(DefaultsStore().text(DefaultsKeys::responseStyle), QStringLiteral("detailed"));
    // The starter download began in the library on the catalogue's first file.
    QTRY_VERIFY(!library.isEmpty());
    QCOMPARE(library.first().at(0).toInt(), 0);
    QCOMPARE(library.first().at(1).toInt(), 0);
}

void TestOnboardingView::blankNameIsRefused()
{
    ViewFixture f(false, ViewFixture::Brew::present);
    QVERIFY(f.start(QStringLiteral("OnboardingView.qml"), {500, 480}));
    QmlHarness &ui = *f.harness;
    QVERIFY(!ui.find(QStringLiteral("continueButton"))->isEnabled());
    ui.typeText(ui.find(QStringLiteral("nameField")), QStringLiteral("   \n"));
    QCOMPARE(step(ui), 0);
    QVERIFY(!ui.find(QStringLiteral("continueButton"))->isEnabled());
    QVERIFY(!isShown(ui, QStringLiteral("backButton")));
}

QTEST_MAIN(TestOnboardingView)
#include "tst_onboarding_view.moc"
