#include "OnboardingFlow.h"

#include "conversation/DefaultsStore.h"
#include "models/ModelManager.h"

#include <QVariantMap>

int OnboardingFlow::forwardStep(int step, bool engineReady)
{
    if (step >= totalSteps - 1)
        return totalSteps;
    const int next = step + 1;
    return next == 1 && engineReady ? 2 : next;
}

int OnboardingFlow::backStep(int step, bool engineReady)
{
    const int previous = qMax(0, step - 1);
    return previous == 1 && engineReady ? 0 : previous;
}

bool OnboardingFlow::needsStarterPrompt(bool hasDownloadedModel)
{
    return !hasDownloadedModel;
}

bool OnboardingFlow::isNameAccepted(const QString &userName)
{
    return !userName.trimmed().isEmpty();
}

bool OnboardingFlow::engineReady(bool engineInstalled, const QString &installState)
{
    return engineInstalled || installState == QLatin1String("succeeded");
}

QString OnboardingFlow::engineStepState(bool engineReady, bool homebrewInstalled, bool canDownload)
{
    if (engineReady)
        return QStringLiteral("ready");
    if (canDownload)
        return QStringLiteral("download");
    return homebrewInstalled ? QStringLiteral("install") : QStringLiteral("homebrewMissing");
}

QString OnboardingFlow::engineStepForward(bool engineReady, bool homebrewInstalled, bool canDownload)
{
    if (engineReady)
        return QStringLiteral("continue");
    return homebrewInstalled && !canDownload ? QString() : QStringLiteral("skip");
}

QString OnboardingFlow::continueTitle(int step)
{
    return step < totalSteps - 1 ? QStringLiteral("Continue") : QStringLiteral("Get Started");
}

QVariantList OnboardingFlow::responseStyles()
{
    auto row = [](const QString &value, const QString &title, const QString &description,
                  const QString &icon) {
        return QVariantMap{{QStringLiteral("value"), value},
                           {QStringLiteral("title"), title},
                           {QStringLiteral("description"), description},
                           {QStringLiteral("icon"), icon}};
    };
    const QString balanced = QStringLiteral("balanced");
    return {
        row(QStringLiteral("concise"), QStringLiteral("Fast & concise"),
            QStringLiteral("Short answers, straight to the point"), QStringLiteral("bolt.fill")),
        row(balanced, balanced.left(1).toUpper() + balanced.mid(1),
            QStringLiteral("Clear, helpful, and reasonably brief"), QStringLiteral("equal.circle.fill")),
        row(QStringLiteral("detailed"), QStringLiteral("Detailed & thorough"),
            QStringLiteral("Full explanations with context"), QStringLiteral("doc.text.fill")),
    };
}

bool OnboardingFlow::hasDownloadedModel(const ModelManager &modelManager)
{
    for (const HFModel &model : modelManager.models()) {
        for (const ModelVariant &variant : model.variants) {
            if (variant.isDownloaded)
                return true;
        }
    }
    return false;
}

bool OnboardingFlow::hasDownloadedModel(QObject *modelManager)
{
    auto *manager = qobject_cast<ModelManager *>(modelManager);
    return manager && hasDownloadedModel(*manager);
}

void OnboardingFlow::startStarterDownload(QObject *modelManager)
{
    auto *manager = qobject_cast<ModelManager *>(modelManager);
    if (!manager || manager->models().isEmpty() || manager->models().first().variants.isEmpty())
        return;
    const HFModel model = manager->models().first();
    manager->downloadVariant(model, model.variants.first());
}

void OnboardingFlow::finish(const QString &userName, const QString &responseStyle)
{
    DefaultsStore defaults;
    defaults.setValue(DefaultsKeys::userName, userName.trimmed());
    defaults.setValue(DefaultsKeys::responseStyle, responseStyle);
    defaults.setValue(DefaultsKeys::onboardingComplete, true);
    defaults.sync();
}
