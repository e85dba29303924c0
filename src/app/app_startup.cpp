#include "app/app_startup.h"

#include <QDir>

#include "app/app_log.h"

Q_LOGGING_CATEGORY(lcAppDelegate, "com.quorvale.app.AppDelegate")

namespace quorvale::app {
namespace {

QCoro::Task<void> registerHelper(HelperAccess& helper) {
    try {
        co_await helper.installHelper();
    } catch (...) {
        // The mount road reports helper problems when they matter.
    }
}

}  // namespace

void AppStartup::start() {
    QDir().mkpath(stateDirectory());
    if (!settings.hasCompletedOnboarding())
        return;
    state.setSetupPhase(SetupPhase::ready());
    registerHelper(helper);
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
