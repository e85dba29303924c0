#include "app/core/app_settings.h"

#include <QDir>

namespace quorvale::app {

AppSettings::AppSettings()
    : settings(
          std::make_unique<QSettings>(QStringLiteral("Quorvale"), QStringLiteral("Quorvale"))) {}

AppSettings::AppSettings(std::unique_ptr<QSettings> store) : settings(std::move(store)) {}

bool AppSettings::hasCompletedOnboarding() const {
    return settings->value(hasCompletedOnboardingKey, false).toBool();
}
void AppSettings::setHasCompletedOnboarding(bool value) {
    settings->setValue(hasCompletedOnboardingKey, value);
    settings->sync();
}
bool AppSettings::autoEjectOnQuit() const {
    return settings->value(autoEjectOnQuitKey, true).toBool();
}
void AppSettings::setAutoEjectOnQuit(bool value) {
    settings->setValue(autoEjectOnQuitKey, value);
    settings->sync();
}
bool AppSettings::confirmDeletion() const {
    return settings->value(confirmDeletionKey, true).toBool();
}
void AppSettings::setConfirmDeletion(bool value) {
    settings->setValue(confirmDeletionKey, value);
    settings->sync();
}

QString stateDirectory() {
    const QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    // The XDG rules ignore relative paths.
    if (!stateHome.isEmpty() && QDir::isAbsolutePath(stateHome))
        return QDir(stateHome).filePath(QStringLiteral("quorvale"));
    return QDir::home().filePath(QStringLiteral(".local/state/quorvale"));
}

}  // namespace quorvale::app
