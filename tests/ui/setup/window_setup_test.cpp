// The setup overlays: onboarding with a failed helper installation, the Full Disk Access page's
// Continue retrying the mount, and the settings persisting.

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "ui/common/page_overlay.h"
#include "ui/common/screenshot.h"
#include "ui/setup/full_disk_access_view.h"
#include "ui/setup/onboarding_view.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/window/settings_dialog.h"
#include "ui/window/window_fakes.h"

namespace quorvale::test {
namespace {

using FS = model::FilesystemType;

TEST(Onboarding, FromABuildTreeTheHelperPageGivesTheInstallCommandFirst) {
    WindowHarness harness(WindowHarness::Onboarding::pending);
    harness.show();
    ui::OnboardingView* onboarding = harness.window->onboardingView();
    bool installed = false;
    onboarding->setHelperInstallCommand(
        QStringLiteral("sudo cmake --install /home/me/quorvale/build"), [&] { return installed; });
    QTest::mouseClick(onboarding->continueButton(), Qt::LeftButton);
    ASSERT_EQ(onboarding->currentPage(), 1);
    EXPECT_EQ(onboarding->helperInstallCommand(), "sudo cmake --install /home/me/quorvale/build");
    EXPECT_TRUE(onboarding->copyCommandButton()->isVisible());
    QTest::mouseClick(onboarding->copyCommandButton(), Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "sudo cmake --install /home/me/quorvale/build");
    saveScreenshot(*harness.window, QStringLiteral("window_onboarding_build_tree"));

    // No password is asked for while the helper is missing.
    QTest::mouseClick(onboarding->authorizeButton(), Qt::LeftButton);
    EXPECT_EQ(harness.helper.installs, 0);
    EXPECT_TRUE(onboarding->errorMessage().contains("still not installed"));
    EXPECT_TRUE(onboarding->skipButton()->isVisible());

    // Once installed, Authorize registers it.
    installed = true;
    QTest::mouseClick(onboarding->authorizeButton(), Qt::LeftButton);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return harness.helper.installs == 1; }));
    EXPECT_TRUE(onboarding->helperInstallCommand().isEmpty());
    ASSERT_TRUE(
        WindowHarness::waitFor([&] { return !harness.window->onboardingOverlay()->isVisible(); }));
    EXPECT_EQ(harness.appState.setupPhase(), app::SetupPhase::ready());
}

TEST(Onboarding, SkipAfterAFailedInstallShowsTheSidebar) {
    WindowHarness harness(WindowHarness::Onboarding::pending);
    harness.helper.installFails = true;
    harness.show();
    ui::MainWindow& window = *harness.window;
    ui::OnboardingView* onboarding = window.onboardingView();
    ASSERT_TRUE(window.onboardingOverlay()->isVisible());
    EXPECT_EQ(harness.appState.setupPhase(), app::SetupPhase::onboarding());
    EXPECT_FALSE(window.sidebar()->viewModel()->isMonitoring());
    EXPECT_EQ(onboarding->currentPage(), 0);
    saveScreenshot(window, QStringLiteral("window_onboarding_welcome"));

    QTest::mouseClick(onboarding->continueButton(), Qt::LeftButton);
    EXPECT_EQ(onboarding->currentPage(), 1);
    EXPECT_TRUE(onboarding->skipButton()->isVisible()) << "skipping needs no failure first";
    QTest::mouseClick(onboarding->authorizeButton(), Qt::LeftButton);
    EXPECT_EQ(onboarding->authorizeButton()->text(), QStringLiteral("Installing..."));
    ASSERT_TRUE(WindowHarness::waitFor([&] { return !onboarding->errorMessage().isEmpty(); }));
    EXPECT_TRUE(onboarding->skipButton()->isVisible());
    EXPECT_EQ(onboarding->authorizeButton()->text(), QStringLiteral("Authorize"));
    EXPECT_FALSE(onboarding->errorMessage().isEmpty());
    EXPECT_EQ(harness.helper.installs, 1);
    saveScreenshot(window, QStringLiteral("window_onboarding_helper"));

    QTest::mouseClick(onboarding->skipButton(), Qt::LeftButton);
    EXPECT_FALSE(window.onboardingOverlay()->isVisible());
    EXPECT_EQ(harness.appState.setupPhase(), app::SetupPhase::ready());
    EXPECT_TRUE(harness.settings->hasCompletedOnboarding());
    EXPECT_TRUE(window.sidebar()->viewModel()->isMonitoring());
    // What is under the sidebar's centre is the sidebar now.
    ui::SidebarView* sidebar = window.sidebar();
    QWidget* hit = window.childAt(sidebar->mapTo(&window, sidebar->rect().center()));
    ASSERT_NE(hit, nullptr);
    EXPECT_TRUE(hit == sidebar || sidebar->isAncestorOf(hit));
}

TEST(Onboarding, SkipRightAwayAsksForNothing) {
    WindowHarness harness(WindowHarness::Onboarding::pending);
    harness.show();
    ui::OnboardingView* onboarding = harness.window->onboardingView();
    QTest::mouseClick(onboarding->continueButton(), Qt::LeftButton);
    QTest::mouseClick(onboarding->skipButton(), Qt::LeftButton);
    EXPECT_FALSE(harness.window->onboardingOverlay()->isVisible());
    EXPECT_EQ(harness.helper.installs, 0);
    EXPECT_TRUE(harness.settings->hasCompletedOnboarding());
}

TEST(FullDiskAccess, ContinueWithASelectedExt4PartitionStartsAMount) {
    WindowHarness harness;
    harness.helper.failure =
        disk::HelperError(disk::HelperError::Kind::accessDenied, QStringLiteral("plugdev"));
    harness.show();
    ui::MainWindow& window = *harness.window;
    window.sidebar()->viewModel()->deviceUpdated(makeDevice({FS::ext4}));
    ASSERT_TRUE(WindowHarness::waitFor([&] { return harness.appState.needsFullDiskAccess(); }));
    EXPECT_TRUE(window.fullDiskAccessOverlay()->isVisible());
    EXPECT_FALSE(harness.appState.isBootingVM());
    ui::FullDiskAccessView* page = window.fullDiskAccessView();
    EXPECT_EQ(page->helperPath(), QStringLiteral("/usr/libexec/quorvale/quorvale-helper"));
    saveScreenshot(window, QStringLiteral("window_full_disk_access"));
    ASSERT_EQ(harness.helper.opened.size(), 1);

    harness.helper.failure.reset();
    QTest::mouseClick(page->continueButton(), Qt::LeftButton);
    EXPECT_FALSE(window.fullDiskAccessOverlay()->isVisible());
    EXPECT_FALSE(harness.appState.retryMountAfterFDA());
    EXPECT_TRUE(WindowHarness::waitFor([&] { return harness.helper.opened.size() == 2; }));
    EXPECT_TRUE(harness.appState.isBootingVM());
    ASSERT_TRUE(WindowHarness::waitFor(
        [&] { return harness.appState.vmStatus() == guest::VMStatus::running(); }));
}

TEST(FullDiskAccess, GrantAsksTheHelperClientAndShowsTheOutcome) {
    WindowHarness harness;
    ui::FullDiskAccessView* page = harness.window->fullDiskAccessView();
    QSignalSpy finished(page, &ui::FullDiskAccessView::grantFinished);
    harness.helper.grantFailure = "Error executing command as another user: Not authorized";
    QTest::mouseClick(page->grantButton(), Qt::LeftButton);
    EXPECT_FALSE(page->grantButton()->isEnabled()) << "a second grant could start meanwhile";
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_FALSE(finished.first().first().toBool());
    EXPECT_EQ(page->grantStatus(),
              QStringLiteral("Grant failed: Error executing command as another user: Not "
                             "authorized"));
    EXPECT_TRUE(page->grantButton()->isEnabled());

    harness.helper.grantFailure.reset();
    QTest::mouseClick(page->grantButton(), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_TRUE(finished.last().first().toBool());
    EXPECT_EQ(page->grantStatus(), QStringLiteral("Access granted. Click Continue."));
    EXPECT_EQ(harness.helper.grants, 2);
}

TEST(Settings, SwitchesPersist) {
    WindowHarness harness;
    {
        ui::SettingsDialog dialog(*harness.settings);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        EXPECT_TRUE(dialog.autoEjectSwitch()->isChecked());
        EXPECT_TRUE(dialog.confirmDeletionSwitch()->isChecked());
        QTest::mouseClick(dialog.autoEjectSwitch(), Qt::LeftButton, {},
                          QPoint(8, dialog.autoEjectSwitch()->height() / 2));
        EXPECT_FALSE(dialog.autoEjectSwitch()->isChecked());
    }
    QSettings reread(harness.dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    EXPECT_FALSE(reread.value(QStringLiteral("autoEjectOnQuit"), true).toBool());
    EXPECT_TRUE(reread.value(QStringLiteral("confirmDeletion"), true).toBool());
}

}  // namespace
}  // namespace quorvale::test
