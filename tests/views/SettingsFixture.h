#pragma once

#include "../engine/EngineFixture.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "conversation/DefaultsStore.h"
#include "engine/ServerManager.h"
#include "models/ModelManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQuickItem>
#include <QSignalSpy>
#include <QTest>
#include <memory>

// The real store, engine manager (over the fake engine and fake Homebrew) and model library,
// for one settings or onboarding view test.
struct ViewFixture
{
    enum class Brew { missing, present };

    ViewFixture(bool engineInstalled, Brew brew)
    {
        TestSupport::resetUserData();
        enginePath = engine.path(QStringLiteral("bin/llama-server"));
        const QString brewPath = engine.path(QStringLiteral("homebrew/bin/brew"));
        engine.environment.engineCandidates = {enginePath};
        engine.environment.homebrewLocations = {brewPath};
        auto place = [](const QString &where, const QString &target) {
            QDir().mkpath(QFileInfo(where).absolutePath());
            QFile::link(target, where);
        };
        if (engineInstalled)
            place(enginePath, EngineFixture::fakeEngine());
        if (brew == Brew::present)
            place(brewPath, EngineFixture::fakeBrew());
        qputenv("MORLO_FAKE_BREW_ENGINE", enginePath.toUtf8());
        qputenv("MORLO_FAKE_BREW_DELAY", "0.05");
        // Made after the reset above, so each test starts from nothing stored.
        state = std::make_unique<AgentState>();
        server = std::make_unique<ServerManager>(engine.environment, nullptr);
        models = std::make_unique<ModelManager>(QUrl(QStringLiteral("http://127.0.0.1:9/")), DownloadTiming{}, nullptr);
        models->setServerManager(server.get());
        models->setAgentState(state.get());
    }

    ~ViewFixture()
    {
        harness.reset();
        for (const char *name : {"MORLO_FAKE_BREW_ENGINE", "MORLO_FAKE_BREW_DELAY", "MORLO_FAKE_BREW_EXIT", "MORLO_FAKE_BREW_PIECES"})
            qunsetenv(name);
    }

    // Puts a file where the library expects the model's first file and re-reads the library.
    QString download(int modelIndex)
    {
        const HFModel &model = models->models().at(modelIndex);
        const QString path = ModelManager::localFileURL(model, model.variants.first()).toLocalFile();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile(path).open(QIODevice::WriteOnly);
        models->refreshDownloadStatus();
        return path;
    }

    bool start(const QString &view, QSize size)
    {
        return harness->startView(view, {{QStringLiteral("agentState"), QVariant::fromValue<QObject *>(state.get())},
                                          {QStringLiteral("serverManager"), QVariant::fromValue<QObject *>(server.get())},
                                          {QStringLiteral("modelManager"), QVariant::fromValue<QObject *>(models.get())}},
                                  size);
    }

    // The view under test, its items and their texts.
    QQuickItem *view() const { return harness->window()->contentItem()->childItems().first(); }
    QQuickItem *find(const QString &objectName) const { return harness->find(objectName); }
    QString text(const QString &objectName) const { return find(objectName)->property("text").toString(); }
    bool shown(const QString &objectName) const
    {
        QQuickItem *item = harness->find(objectName, 200);
        return item && item->isVisible();
    }
    // Whether a dialog or popup (found among all objects) is open now.
    bool opened(const QString &objectName) const { return harness->findObject(objectName)->property("opened").toBool(); }

    EngineFixture engine;
    QString enginePath;
    std::unique_ptr<AgentState> state;
    std::unique_ptr<ServerManager> server;
    std::unique_ptr<ModelManager> models;
    std::unique_ptr<QmlHarness> harness = std::make_unique<QmlHarness>();
};
