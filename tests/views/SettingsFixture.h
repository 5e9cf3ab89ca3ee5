#pragma once

#include "../engine/EngineFixture.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/ModelManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQuickItem>
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
        engine.environment.engineCandidates = {enginePath};
        if (engineInstalled)
            placeExecutable(enginePath, EngineFixture::fakeEngine());
        const QString brewPath = engine.path(QStringLiteral("homebrew/bin/brew"));
        engine.environment.homebrewLocations = {brewPath};
        if (brew == Brew::present)
            placeExecutable(brewPath, EngineFixture::fakeBrew());
        qputenv("MORLO_FAKE_BREW_ENGINE", enginePath.toUtf8());
        qputenv("MORLO_FAKE_BREW_DELAY", "0.05");
        state = std::make_unique<AgentState>();
        server = std::make_unique<ServerManager>(engine.environment, nullptr);
        models = std::make_unique<ModelManager>(QUrl(QStringLiteral("http://127.0.0.1:9/")),
                                                DownloadTiming{}, nullptr);
        models->setServerManager(server.get());
        models->setAgentState(state.get());
        harness = std::make_unique<QmlHarness>();
    }

    ~ViewFixture()
    {
        harness.reset();
        for (const char *name : {"MORLO_FAKE_BREW_ENGINE", "MORLO_FAKE_BREW_DELAY",
                                 "MORLO_FAKE_BREW_EXIT", "MORLO_FAKE_BREW_PIECES"})
            qunsetenv(name);
    }

    static void placeExecutable(const QString &where, const QString &target)
    {
        QDir().mkpath(QFileInfo(where).absolutePath());
        QFile::link(target, where);
    }

    // Puts a file where the library expects the model's first file and re-reads the library.
    QString download(int modelIndex)
    {
        const HFModel &model = models->models().at(modelIndex);
        const QString path = ModelManager::localFileURL(model, model.variants.first()).toLocalFile();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("GGUF");
        file.close();
        models->refreshDownloadStatus();
        return path;
    }

    QString label(int modelIndex) const
    {
        const HFModel &model = models->models().at(modelIndex);
        return model.displayName + u' ' + model.variants.first().quantization;
    }

    bool start(const QString &view, QSize size)
    {
        return harness->startView(view, {{QStringLiteral("agentState"), QVariant::fromValue<QObject *>(state.get())},
                                          {QStringLiteral("serverManager"), QVariant::fromValue<QObject *>(server.get())},
                                          {QStringLiteral("modelManager"), QVariant::fromValue<QObject *>(models.get())}},
                                  size);
    }

    EngineFixture engine;
    QString enginePath;
    std::unique_ptr<AgentState> state;
    std::unique_ptr<ServerManager> server;
    std::unique_ptr<ModelManager> models;
    std::unique_ptr<QmlHarness> harness;
};

inline QString textOf(QQuickItem *item)
{
    return item ? item->property("text").toString() : QString();
}
