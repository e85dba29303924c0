// AppState's notifications and banner, the alert identifiers, the settings and start-up.

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/core/app_settings.h"
#include "app/core/app_startup.h"
#include "app/core/app_state.h"
#include "app_test_support.h"
#include "fake_services.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;

TEST(AppStateTest, StartsAsDocumentedAndNotifiesOnlyOnChange) {
    ensureApplication();
    AppState state;
    EXPECT_EQ(state.setupPhase(), SetupPhase::onboarding());
    EXPECT_EQ(state.viewMode(), ViewMode::grid);
    EXPECT_EQ(state.vmStatus(), guest::VMStatus::stopped());
    EXPECT_EQ(state.currentPath(), "/");
    EXPECT_FALSE(state.selectedPartition());

    QSignalSpy preview(&state, &AppState::showPreviewPanelChanged);
    state.setShowPreviewPanel(!state.showPreviewPanel());
    state.setShowPreviewPanel(!state.showPreviewPanel());
    EXPECT_FALSE(state.showPreviewPanel());
    EXPECT_EQ(preview.count(), 2);
    state.setShowPreviewPanel(false);
    EXPECT_EQ(preview.count(), 2);

    // Every published field reaches observers through the property system.
    QSignalSpy status(&state, &AppState::vmStatusChanged);
    EXPECT_TRUE(state.setProperty("vmStatus", QVariant::fromValue(guest::VMStatus::running())));
    EXPECT_EQ(state.vmStatus(), guest::VMStatus::running());
    EXPECT_EQ(status.count(), 1);
}

TEST(AppStateTest, EachBannerCallSchedulesItsOwnHideHoldingTheStateWeakly) {
    ensureApplication();
    std::vector<std::function<void()>> hides;
    std::vector<std::chrono::milliseconds> delays;
    auto state = std::make_unique<AppState>();
    state->setScheduler([&](std::chrono::milliseconds delay, std::function<void()> hide) {
        delays.push_back(delay);
        hides.push_back(std::move(hide));
    });
    state->showErrorBanner("first");
    state->showErrorBanner("second");
    EXPECT_EQ(state->errorMessage(), "second");
    EXPECT_TRUE(state->showError());
    ASSERT_EQ(hides.size(), 2u);
    EXPECT_EQ(delays[0], std::chrono::seconds(5));
    hides[0]();  // the first call's hide also hides the second message
    EXPECT_FALSE(state->showError());
    EXPECT_EQ(state->errorMessage(), "second");
    state.reset();
    hides[1]();  // the state is gone: nothing happens
}

TEST(AppStateTest, RefusedChangesFollowTheSelectedPartitionsDisk) {
    AppState state;
    QSignalSpy changed(&state, &AppState::changesRefusedChanged);
    const auto select = [&](const char* name) {
        model::Partition partition;
        partition.id = partition.bsdName = name;
        state.setSelectedPartition(partition);
    };
    state.refuseChanges("image1", "damaged");
    state.refuseChanges("image1", "damaged");  // no news
    EXPECT_EQ(changed.count(), 1);
    const std::pair<const char*, bool> cases[] = {
        {"image1p1", true},   {"image1p12", true}, {"image1", true},  // unpartitioned image
        {"image10p1", false}, {"image10", false},  {"image11", false},
        {"image1x", false},   {"image0p1", false}, {"sdb1", false},
    };
    for (const auto& [name, refused] : cases) {
        select(name);
        EXPECT_EQ(state.changesRefused().has_value(), refused) << name;
    }
    state.refuseChanges("sdb", "worn out");
    select("sdb2");
    EXPECT_EQ(state.changesRefused(), "worn out");
    select("sdba1");
    EXPECT_FALSE(state.changesRefused());
    state.setSelectedPartition(std::nullopt);
    EXPECT_FALSE(state.changesRefused());
}

TEST(AppStateTest, AlertIdentifiersAndPhaseEquality) {
    model::Device card;
    card.id = "sdb";
    EXPECT_EQ(AppAlert::ejectConfirmation(card).id(), "eject-sdb");
    model::FileItem a;
    a.id = a.path = "/a";
    EXPECT_EQ(AppAlert::deleteConfirmation({a}).id(), AppAlert::deleteConfirmation({}).id());
    EXPECT_EQ(AppAlert::deleteConfirmation({a}).id(), "delete");
    EXPECT_EQ(AppAlert::error("Disk full").id(), "error-Disk full");
    EXPECT_EQ(SetupPhase::failed("x"), SetupPhase::failed("x"));
    EXPECT_NE(SetupPhase::failed("x"), SetupPhase::failed("y"));
    EXPECT_EQ(rawValue(ViewMode::list), "list");
    EXPECT_EQ(viewModeFromRaw("grid"), ViewMode::grid);
    EXPECT_FALSE(viewModeFromRaw("tiles"));
}

class StartupTest : public ::testing::Test {
protected:
    StartupTest() {
        ensureApplication();
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath("state")));
    }
    ~StartupTest() override { qunsetenv("XDG_STATE_HOME"); }

    std::unique_ptr<AppSettings> settings() {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat));
    }

    QTemporaryDir dir;
};

TEST_F(StartupTest, SettingsDefaultAndPersist) {
    {
        auto first = settings();
        EXPECT_FALSE(first->hasCompletedOnboarding());
        EXPECT_TRUE(first->autoEjectOnQuit());
        EXPECT_TRUE(first->confirmDeletion());
        first->setAutoEjectOnQuit(false);
        first->setConfirmDeletion(false);
    }
    auto second = settings();
    EXPECT_FALSE(second->autoEjectOnQuit());
    EXPECT_FALSE(second->confirmDeletion());
    EXPECT_EQ(second->store().value("confirmDeletion").toBool(), false);
}

TEST_F(StartupTest, FirstLaunchStaysInOnboardingUntilItCompletes) {
    AppState state;
    FakeHelper helper;
    auto store = settings();
    AppStartup startup(state, *store, helper);
    startup.start();
    EXPECT_TRUE(QDir(dir.filePath("state/quorvale")).exists());
    EXPECT_EQ(state.setupPhase(), SetupPhase::onboarding());
    EXPECT_EQ(helper.installs, 0);
    startup.completeOnboarding();
    EXPECT_EQ(state.setupPhase(), SetupPhase::ready());
    EXPECT_TRUE(settings()->hasCompletedOnboarding());
}

TEST_F(StartupTest, OnboardedLaunchIsReadyAndOnlyAsksWhetherTheHelperRuns) {
    for (const bool running : {false, true}) {
        AppState state;
        FakeHelper helper;
        helper.helperRunning = running;
        auto store = settings();
        store->setHasCompletedOnboarding(true);
        AppStartup(state, *store, helper).start();
        EXPECT_EQ(state.setupPhase(), SetupPhase::ready());
        EXPECT_EQ(helper.checks, 1);
        EXPECT_EQ(helper.installs, 0) << "start-up must never prompt for a password";
        EXPECT_FALSE(state.showError());
    }
}

TEST(StateDirectoryTest, FollowsXdgStateHome) {
    qputenv("XDG_STATE_HOME", "/tmp/xdg-state");
    EXPECT_EQ(stateDirectory(), "/tmp/xdg-state/quorvale");
    qputenv("XDG_STATE_HOME", "relative/ignored");
    EXPECT_EQ(stateDirectory(), QDir::homePath() + "/.local/state/quorvale");
    qunsetenv("XDG_STATE_HOME");
    EXPECT_EQ(stateDirectory(), QDir::homePath() + "/.local/state/quorvale");
}

}  // namespace
}  // namespace quorvale::app
