#pragma once

#include <QString>

// Progress of installing the engine through Homebrew.
struct BrewInstallState
{
    enum class Kind { idle, installing, succeeded, failed };
    Kind kind = Kind::idle;
    QString message; // only for failed

    static BrewInstallState idle() { return {}; }
    static BrewInstallState installing() { return {Kind::installing, {}}; }
    static BrewInstallState succeeded() { return {Kind::succeeded, {}}; }
    static BrewInstallState failed(const QString &message) { return {Kind::failed, message}; }

    // "idle", "installing", "succeeded" or "failed", for the views.
    QString kindName() const;

    bool operator==(const BrewInstallState &) const = default;
};
