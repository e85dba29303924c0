// The main window and its sidebar: detail column and toolbar per selection, the device list
// and its context menu, the mount rules of the selection, the VM indicator, the banner's
// timing and the View menu's shortcuts.

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "ui/browser/empty_state_view.h"
#include "ui/common/error_banner.h"
#include "ui/common/screenshot.h"
#include "ui/setup/boot_overlay.h"
#include "ui/sidebar/device_rows.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/sidebar/vm_status_indicator.h"
#include "ui/window/window_toolbar.h"
#include "window_fakes.h"

namespace quorvale::test {
namespace {

using FS = model::FilesystemType;

QStringList labelTexts(QWidget* root) {
    QStringList texts;
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->text().isEmpty())
            texts << label->text();
    }
    return texts;
}

QPoint rowCenter(ui::SidebarView* sidebar, int row) {
    return sidebar->list()->visualItemRect(sidebar->list()->item(row)).center();
}

// Opens the row's context menu the way a right click does and returns the popup.
QMenu* openContextMenu(ui::SidebarView* sidebar, int row) {
    QWidget* viewport = sidebar->list()->viewport();
    const QPoint position = rowCenter(sidebar, row);
    QContextMenuEvent event(QContextMenuEvent::Mouse, position, viewport->mapToGlobal(position));
    QApplication::sendEvent(viewport, &event);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

QStringList actionTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator())
            texts << action->text();
    }
    return texts;
}

TEST(MainWindow, NothingSelectedShowsEmptyStateAndAnEmptyToolbar) {
    WindowHarness harness;
    harness.show();
    ui::MainWindow& window = *harness.window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quorvale"));
    EXPECT_EQ(window.minimumSize(), QSize(900, 600));
    EXPECT_TRUE(window.toolbar()->visibleActions().isEmpty());
    EXPECT_EQ(window.detailColumn()->currentWidget(), window.emptyState());
    EXPECT_GE(window.sidebar()->width(), ui::SidebarView::kMinimumWidth);
    EXPECT_LE(window.sidebar()->width(), ui::SidebarView::kMaximumWidth);
    saveScreenshot(window, QStringLiteral("window_empty"));
    // Someone with only image files opens one from here.
    QPushButton* openImage = window.emptyState()->openImageButton();
    ASSERT_TRUE(openImage->isVisible());
    EXPECT_EQ(openImage->text(), "Open Disk Image…");
    QTest::mouseClick(openImage, Qt::LeftButton);
    ASSERT_TRUE(
        WindowHarness::waitFor([&] { return window.findChild<QFileDialog*>() != nullptr; }));
    QFileDialog* chooser = window.findChild<QFileDialog*>();
    EXPECT_EQ(chooser->windowTitle(), "Open Disk Image");
    EXPECT_EQ(chooser->fileMode(), QFileDialog::ExistingFile);
    chooser->reject();

    // A selection brings the toolbar and the detail widget; clearing it takes them away.
    harness.window->sidebar()->viewModel()->deviceUpdated(makeDevice({FS::fat32}));
    harness.appState.setSelectedPartition(makeDevice({FS::fat32}).partitions.first());
    EXPECT_EQ(window.toolbar()->visibleActions().size(), 4);
    EXPECT_EQ(window.detailColumn()->currentWidget(), window.detailWidget());
    harness.appState.setSelectedPartition(std::nullopt);
    EXPECT_TRUE(window.toolbar()->visibleActions().isEmpty());
    EXPECT_EQ(window.detailColumn()->currentWidget(), window.emptyState());
}

TEST(Sidebar, NoDevicesShowsOnlyTheHint) {
    WindowHarness harness;
    harness.show();
    QListWidget* list = harness.window->sidebar()->list();
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(labelTexts(list), QStringList{QStringLiteral("Insert an SD card to begin")});
    EXPECT_FALSE(list->item(0)->flags() & Qt::ItemIsSelectable);
}

TEST(Sidebar, NonExt4PartitionHasNoBrowseFilesAndDoesNotMount) {
    WindowHarness harness;
    harness.show();
    ui::SidebarView* sidebar = harness.window->sidebar();
    sidebar->viewModel()->deviceUpdated(makeDevice({FS::fat32, FS::ext4}));
    // The ext4 partition was auto-selected and mounted; let that mount finish.
    ASSERT_TRUE(WindowHarness::waitFor([&] { return !harness.appState.isBootingVM(); }));
    ASSERT_EQ(harness.helper.opened, QStringList{QStringLiteral("sdb")});

    const int fatRow = sidebar->rowOfPartition(QStringLiteral("sdb1"));
    const int ext4Row = sidebar->rowOfPartition(QStringLiteral("sdb2"));
    ASSERT_EQ(fatRow, 1);  // the device row, then its partitions
    QMenu* menu = openContextMenu(sidebar, fatRow);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(actionTexts(menu), QStringList{QStringLiteral("Eject Generic SD Reader")});
    menu->close();
    menu = openContextMenu(sidebar, ext4Row);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(actionTexts(menu), (QStringList{QStringLiteral("Browse Files"),
                                              QStringLiteral("Eject Generic SD Reader")}));
    menu->close();

    QTest::mouseClick(sidebar->list()->viewport(), Qt::LeftButton, {}, rowCenter(sidebar, fatRow));
    ASSERT_TRUE(harness.appState.selectedPartition());
    EXPECT_EQ(harness.appState.selectedPartition()->id, QStringLiteral("sdb1"));
    QTest::qWait(50);
    EXPECT_FALSE(harness.appState.isBootingVM());
    EXPECT_EQ(harness.helper.opened.size(), 1);
    EXPECT_FALSE(harness.appState.showError());

    // Clicking the ext4 row mounts it, on the handle the app holds for its card.
    QSignalSpy mounts(sidebar->viewModel(), &app::DeviceListViewModel::mountFinished);
    QTest::mouseClick(sidebar->list()->viewport(), Qt::LeftButton, {}, rowCenter(sidebar, ext4Row));
    ASSERT_TRUE(WindowHarness::waitFor([&] { return mounts.size() == 1; }));
    EXPECT_EQ(harness.helper.opened.size(), 1);
    EXPECT_EQ(harness.appState.vmStatus(), guest::VMStatus::running());
    EXPECT_FALSE(harness.appState.showError());
}

TEST(Sidebar, SelectingExt4WhileBootingStartsNoSecondMount) {
    WindowHarness harness;
    harness.helper.delay = std::chrono::milliseconds(400);
    harness.show();
    ui::SidebarView* sidebar = harness.window->sidebar();
    sidebar->viewModel()->deviceUpdated(makeDevice({FS::ext4, FS::ext4}));
    ASSERT_TRUE(harness.appState.isBootingVM());
    EXPECT_EQ(harness.appState.selectedPartition()->id, QStringLiteral("sdb1"));
    EXPECT_TRUE(harness.window->bootOverlay()->isVisible());
    const auto* booting =
        qobject_cast<ui::PartitionRow*>(sidebar->list()->itemWidget(sidebar->list()->item(1)));
    ASSERT_NE(booting, nullptr);
    EXPECT_TRUE(booting->isBooting());
    saveScreenshot(*harness.window, QStringLiteral("window_boot_overlay"));

    // The first mount has read the card and waits on the helper.
    ASSERT_TRUE(WindowHarness::waitFor([&] { return harness.helper.opened.size() == 1; }));
    harness.appState.setSelectedPartition(makeDevice({FS::ext4, FS::ext4}).partitions[1]);
    EXPECT_EQ(harness.helper.opened.size(), 1);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return !harness.appState.isBootingVM(); }));
    EXPECT_EQ(harness.helper.opened.size(), 1);
    EXPECT_EQ(harness.vm.boots, 1);
    EXPECT_FALSE(harness.window->bootOverlay()->isVisible());
}

TEST(Sidebar, BootOverlayCancelStopsTheMount) {
    WindowHarness harness;
    harness.helper.delay = std::chrono::milliseconds(300);
    harness.show();
    harness.window->sidebar()->viewModel()->deviceUpdated(makeDevice({FS::ext4}));
    ASSERT_TRUE(harness.window->bootOverlay()->isVisible());
    QTest::mouseClick(harness.window->bootOverlay()->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(harness.appState.isBootingVM());
    EXPECT_EQ(harness.appState.vmStatus(), guest::VMStatus::stopped());
    EXPECT_FALSE(harness.window->bootOverlay()->isVisible());
    // The cancelled mount does not boot the VM once the helper answers.
    QTest::qWait(500);
    EXPECT_EQ(harness.vm.boots, 0);
    EXPECT_FALSE(harness.appState.isBootingVM());
}

TEST(Sidebar, VMErrorShowsTheMessageInTheIndicatorAndItsTooltip) {
    WindowHarness harness;
    harness.show();
    harness.appState.setVmStatus(guest::VMStatus::error(QStringLiteral("QEMU exited")));
    const ui::VMStatusIndicator* indicator = harness.window->sidebar()->statusIndicator();
    EXPECT_EQ(indicator->text(), QStringLiteral("VM Error: QEMU exited"));
    EXPECT_EQ(indicator->toolTip(), QStringLiteral("VM Error: QEMU exited"));
    harness.appState.setVmStatus(guest::VMStatus::booting());
    EXPECT_TRUE(indicator->isPulsing());
}

TEST(MainWindow, AVMThatDiesShowsItsCauseAndSelectingAgainBootsAFreshOne) {
    WindowHarness harness;
    harness.show();
    ui::SidebarView* sidebar = harness.window->sidebar();
    sidebar->viewModel()->deviceUpdated(makeDevice({FS::ext4}));
    ASSERT_TRUE(WindowHarness::waitFor(
        [&] { return harness.appState.vmStatus() == guest::VMStatus::running(); }));

    harness.vm.crash(QStringLiteral("Guest kernel panic"));
    EXPECT_EQ(harness.appState.vmStatus(),
              guest::VMStatus::error(QStringLiteral("Guest kernel panic")));
    EXPECT_EQ(sidebar->statusIndicator()->text(), QStringLiteral("VM Error: Guest kernel panic"));
    ui::ErrorBanner* banner = harness.window->errorBanner();
    EXPECT_TRUE(banner->isShown());
    EXPECT_EQ(banner->message(), QStringLiteral("The VM stopped unexpectedly: Guest kernel panic"));
    EXPECT_FALSE(harness.transport.isConnected());

    sidebar->viewModel()->mount(*harness.appState.selectedPartition());
    ASSERT_TRUE(WindowHarness::waitFor(
        [&] { return harness.appState.vmStatus() == guest::VMStatus::running(); }));
    EXPECT_EQ(harness.vm.boots, 2);
    EXPECT_EQ(harness.helper.opened.size(), 1) << "the held card was opened again";
    EXPECT_EQ(sidebar->statusIndicator()->text(), QStringLiteral("VM Running"));
}

TEST(MainWindow, TwoBannersThreeSecondsApartHideFiveSecondsAfterTheFirst) {
    WindowHarness harness;
    // A clock the test advances by hand.
    std::chrono::milliseconds now{0};
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> due;
    harness.appState.setScheduler([&](std::chrono::milliseconds delay, std::function<void()> run) {
        due.emplace_back(now + delay, std::move(run));
    });
    const auto advanceTo = [&](std::chrono::milliseconds time) {
        now = time;
        for (auto& [at, run] : due) {
            if (run && at <= now)
                std::exchange(run, nullptr)();
        }
    };
    harness.show();
    ui::ErrorBanner* banner = harness.window->errorBanner();
    harness.appState.showErrorBanner(QStringLiteral("Failed to mount: first"));
    advanceTo(std::chrono::seconds(3));
    harness.appState.showErrorBanner(QStringLiteral("Failed to mount: second"));
    EXPECT_TRUE(banner->isShown());
    EXPECT_EQ(banner->message(), QStringLiteral("Failed to mount: second"));
    QTest::qWait(600);  // let the slide finish for the picture
    saveScreenshot(*harness.window, QStringLiteral("window_error_banner"));
    advanceTo(std::chrono::milliseconds(4999));
    EXPECT_TRUE(banner->isShown());
    advanceTo(std::chrono::seconds(5));
    EXPECT_FALSE(harness.appState.showError());
    EXPECT_FALSE(banner->isShown());

    // The dismiss button hides it at once.
    harness.appState.showErrorBanner(QStringLiteral("again"));
    ASSERT_TRUE(banner->isShown());
    QTest::mouseClick(banner->dismissButton(), Qt::LeftButton);
    EXPECT_FALSE(harness.appState.showError());
}

TEST(MainWindow, ViewMenuShortcuts) {
    WindowHarness harness;
    harness.show();
    ASSERT_FALSE(harness.appState.showPreviewPanel());
    QTest::keyClick(harness.window.get(), Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(harness.appState.showPreviewPanel());
    QTest::keyClick(harness.window.get(), Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(harness.appState.showPreviewPanel());
    QTest::keyClick(harness.window.get(), Qt::Key_2, Qt::ControlModifier);
    EXPECT_EQ(harness.appState.viewMode(), app::ViewMode::list);
    QTest::keyClick(harness.window.get(), Qt::Key_1, Qt::ControlModifier);
    EXPECT_EQ(harness.appState.viewMode(), app::ViewMode::grid);
}

TEST(MainWindow, DiskImageOpensAsADeviceAndMounts) {
    WindowHarness harness;
    const QString image = makeExt4Image(harness.dir.path());
    harness.show();
    harness.window->openDiskImage(image);
    ASSERT_TRUE(WindowHarness::waitFor(
        [&] { return harness.appState.vmStatus() == guest::VMStatus::running(); }));
    ui::SidebarView* sidebar = harness.window->sidebar();
    const auto devices = sidebar->viewModel()->devices();
    ASSERT_EQ(devices.size(), 1);
    ASSERT_EQ(devices.first().partitions.size(), 1);
    const model::Partition partition = devices.first().partitions.first();
    EXPECT_EQ(partition.filesystemType, FS::ext4);
    EXPECT_EQ(harness.appState.selectedPartition(), partition);
    EXPECT_TRUE(harness.helper.opened.isEmpty());  // an image needs no helper
    const int row = sidebar->rowOfPartition(partition.id);
    ASSERT_GE(row, 0);
    EXPECT_TRUE(sidebar->list()->item(row)->isSelected());
    EXPECT_TRUE(labelTexts(sidebar->list()).contains(QStringLiteral("SAMPLE")));
    EXPECT_EQ(harness.window->toolbar()->visibleActions().size(), 4);
    EXPECT_EQ(sidebar->statusIndicator()->text(), QStringLiteral("VM Running"));
    QTest::qWait(500);  // the new device row's fade-in, for the picture
    saveScreenshot(*harness.window, QStringLiteral("window_devices"));
}

}  // namespace
}  // namespace quorvale::test
