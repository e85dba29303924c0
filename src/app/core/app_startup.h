#pragma once
// Start-up of the main window and the application delegate's log lines. start() creates the
// state directory (failure is silent) and, for a user who finished onboarding, enters `ready`
// and asks in the background whether the helper daemon is installed and running; it never
// installs it (that may ask for a password: only the setup page does, on the user's action).
// Otherwise the phase stays `onboarding` until completeOnboarding().

#include "app/core/app_settings.h"
#include "app/core/app_state.h"
#include "app/core/service_interfaces.h"

namespace quorvale::app {

class AppStartup {
public:
    AppStartup(AppState& state, AppSettings& settings, HelperAccess& helper)
        : state(state), settings(settings), helper(helper) {}

    // The main window's first appearance.
    void start();
    // The onboarding page finished.
    void completeOnboarding();

private:
    AppState& state;
    AppSettings& settings;
    HelperAccess& helper;
};

// The application delegate: logs launch and termination; closing the last window quits.
struct AppDelegate {
    void didFinishLaunching() const;
    void willTerminate() const;
    static constexpr bool shouldTerminateAfterLastWindowClosed = true;
};

}  // namespace quorvale::app
