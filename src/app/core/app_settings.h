#pragma once
// The user settings (QSettings, organisation and application "Quorvale") and the directory the
// application writes its logs to: $XDG_STATE_HOME/quorvale, else ~/.local/state/quorvale.

#include <QSettings>
#include <QString>

#include <memory>

namespace quorvale::app {

class AppSettings {
public:
    static constexpr const char* hasCompletedOnboardingKey = "hasCompletedOnboarding";
    static constexpr const char* autoEjectOnQuitKey = "autoEjectOnQuit";
    static constexpr const char* confirmDeletionKey = "confirmDeletion";

    // The user's settings store.
    AppSettings();
    // Another store (tests).
    explicit AppSettings(std::unique_ptr<QSettings> store);

    bool hasCompletedOnboarding() const;  // default false
    void setHasCompletedOnboarding(bool value);
    bool autoEjectOnQuit() const;  // default true
    void setAutoEjectOnQuit(bool value);
    bool confirmDeletion() const;  // default true
    void setConfirmDeletion(bool value);

    QSettings& store() { return *settings; }

private:
    std::unique_ptr<QSettings> settings;
};

// $XDG_STATE_HOME/quorvale when XDG_STATE_HOME is an absolute path, else ~/.local/state/quorvale.
QString stateDirectory();

}  // namespace quorvale::app
