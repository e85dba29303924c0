#include "app/core/app_startup.h"

#include <QDir>

#include "app/core/app_log.h"

Q_LOGGING_CATEGORY(lcAppDelegate, "com.quorvale.app.AppDelegate")

namespace quorvale::app {
namespace {

// Only asks: installing may prompt for a password, which happens on the setup page, on the
// user's action, never at start-up.
QCoro::Task<void> checkHelper(HelperAccess& helper) {
    if (!co_await helper.checkHelper())
        qCInfo(lcAppDelegate, "Helper not running; the mount road reports it when it matters");
}

}  // namespace

void AppStartup::start() {
    QDir().mkpath(stateDirectory());
    if (!settings.hasCompletedOnboarding())
        return;
    state.setSetupPhase(SetupPhase::ready());
    checkHelper(helper);
}

void AppStartup::completeOnboarding() {
    settings.setHasCompletedOnboarding(true);
    state.setSetupPhase(SetupPhase::ready());
}

void AppDelegate::didFinishLaunching() const {
    qCInfo(lcAppDelegate, "Quorvale launched");
}

void AppDelegate::willTerminate() const {
    qCInfo(lcAppDelegate, "Quorvale terminating");
}

}  // namespace quorvale::app
