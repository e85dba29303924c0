// The window's sheets: the eject confirmation's keys, and the disk-usage load with the VM
// stopped, with a partition record lacking "free_bytes", and with the bar's colour bands.

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>

#include "ui/common/error_banner.h"
#include "ui/common/screenshot.h"
#include "ui/common/theme.h"
#include "ui/common/usage_bar.h"
#include "ui/sheets/alert_sheets.h"
#include "ui/sidebar/partition_health_panel.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/usage/disk_usage_sheet.h"
#include "ui/usage/disk_usage_view.h"
#include "ui/window/window_toolbar.h"
#include "window_fakes.h"

namespace quorvale::test {
namespace {

using FS = model::FilesystemType;

// The window with the image opened, mounted on the fake VM.
void openMountedImage(WindowHarness& harness) {
    harness.show();
    harness.window->openDiskImage(makeExt4Image(harness.dir.path()));
    ASSERT_TRUE(WindowHarness::waitFor(
        [&] { return harness.appState.vmStatus() == guest::VMStatus::running(); }));
}

ui::EjectConfirmationSheet* ejectSheet(WindowHarness& harness) {
    return qobject_cast<ui::EjectConfirmationSheet*>(harness.window->sheets()->currentSheet());
}

void clickDiskUsage(WindowHarness& harness) {
    ui::WindowToolbar* toolbar = harness.window->toolbar();
    QWidget* button = toolbar->widgetForAction(toolbar->diskUsageAction());
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

TEST(EjectSheet, EscapeCancelsAndReturnEjects) {
    WindowHarness harness;
    openMountedImage(harness);
    ui::SidebarView* sidebar = harness.window->sidebar();
    const model::Device device = sidebar->viewModel()->devices().first();

    harness.appState.setActiveAlert(app::AppAlert::ejectConfirmation(device));
    ui::EjectConfirmationSheet* sheet = ejectSheet(harness);
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    EXPECT_EQ(sheet->titleText(), QStringLiteral("Eject ") + device.name + QStringLiteral("?"));
    EXPECT_EQ(sheet->messageText(),
              QStringLiteral("Make sure all operations are complete before ejecting."));
    saveScreenshot(*sheet, QStringLiteral("window_eject_sheet"));
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_FALSE(harness.appState.activeAlert());
    QTest::qWait(50);
    EXPECT_EQ(sidebar->viewModel()->devices().size(), 1);
    EXPECT_EQ(harness.vm.stops, 0);

    // The row's context menu asks again; Return confirms, and the image is detached.
    const int row = sidebar->rowOfPartition(device.partitions.first().id);
    QMenu* menu = sidebar->contextMenuForRow(row);
    ASSERT_NE(menu, nullptr);
    menu->actions().last()->trigger();
    delete menu;
    sheet = ejectSheet(harness);
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_FALSE(harness.appState.activeAlert());
    ASSERT_TRUE(WindowHarness::waitFor([&] { return sidebar->viewModel()->devices().isEmpty(); }));
    EXPECT_GE(harness.vm.stops, 1);
    EXPECT_EQ(harness.window->sidebar()->list()->count(), 1);  // the hint row again
}

TEST(HealthCard, TheSidebarShowsTheCardAndTheEjectSaysTheCardIsClean) {
    WindowHarness harness;
    openMountedImage(harness);
    ui::SidebarView* sidebar = harness.window->sidebar();
    ui::PartitionHealthPanel* panel = sidebar->healthPanel();
    ASSERT_TRUE(WindowHarness::waitFor([&] { return panel->summaryLabel()->isVisible(); }));
    EXPECT_EQ(panel->summaryLabel()->text(), QStringLiteral("Healthy"));
    EXPECT_EQ(panel->valueOf(QStringLiteral("Label")), QStringLiteral("SAMPLE"));
    EXPECT_EQ(panel->valueOf(QStringLiteral("Journal")), QStringLiteral("clean"));
    EXPECT_FALSE(panel->skipButton()->isVisible()) << "no eject under way";
    // In the window's first size every name and value shows whole: wrapped, none squeezed
    // shorter than its lines or past the sidebar's edge.
    QWidget* card = panel->cardArea()->widget();
    const auto unclipped = [&](QLabel* label) {
        return label->height() >= label->heightForWidth(label->width()) &&
               label->geometry().right() <= panel->cardArea()->viewport()->width();
    };
    const auto allWhole = [&] {
        const auto labels = card->findChildren<QLabel*>();
        return std::all_of(labels.begin(), labels.end(), unclipped);
    };
    WindowHarness::waitFor(allWhole, std::chrono::seconds(2));  // until the layout settles
    for (QLabel* label : card->findChildren<QLabel*>())
        EXPECT_TRUE(unclipped(label))
            << label->text().toStdString() << ": " << label->width() << "x" << label->height()
            << " in " << panel->cardArea()->viewport()->width();
    saveScreenshot(*sidebar, QStringLiteral("sidebar_health_card"));

    const model::Device device = sidebar->viewModel()->devices().first();
    harness.appState.setActiveAlert(app::AppAlert::ejectConfirmation(device));
    ui::EjectConfirmationSheet* sheet = ejectSheet(harness);
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    QTest::keyClick(sheet, Qt::Key_Return);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return sidebar->viewModel()->devices().isEmpty(); }));
    EXPECT_EQ(harness.window->errorBanner()->message(),
              QStringLiteral("Safe to remove: the file system is clean"));
    EXPECT_TRUE(harness.vm.guests.back()->methods.contains(QStringLiteral("check_filesystem")));
}

TEST(JournalSheet, OpenReadOnlyMountsWithoutReplayingTheJournal) {
    WindowHarness harness;
    openMountedImage(harness);
    const model::Partition partition = *harness.appState.selectedPartition();
    harness.appState.setActiveAlert(app::AppAlert::journalRecovery(
        partition, QStringLiteral("Not unmounted cleanly: the journal needs recovery")));
    auto* sheet = qobject_cast<ui::JournalRecoverySheet*>(harness.window->sheets()->currentSheet());
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    EXPECT_EQ(sheet->titleText(), QStringLiteral("Open SAMPLE?"));
    saveScreenshot(*sheet, QStringLiteral("journal_recovery_sheet"));
    ScriptedGuest* guest = harness.vm.guests.back().get();
    const auto mounts = guest->methods.count(QStringLiteral("mount_partition"));
    QTest::mouseClick(sheet->readOnlyButton(), Qt::LeftButton);
    EXPECT_FALSE(harness.appState.activeAlert());
    ASSERT_TRUE(WindowHarness::waitFor(
        [&] { return guest->methods.count(QStringLiteral("mount_partition")) > mounts; }));
}

TEST(ErrorSheet, ShowsTheMessageAndOKClears) {
    WindowHarness harness;
    harness.show();
    harness.appState.setActiveAlert(app::AppAlert::error(QStringLiteral("Rename failed: busy")));
    auto* sheet = qobject_cast<ui::ErrorSheet*>(harness.window->sheets()->currentSheet());
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->titleText(), QStringLiteral("Error"));
    EXPECT_EQ(sheet->messageText(), QStringLiteral("Rename failed: busy"));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_FALSE(harness.appState.activeAlert());
}

TEST(DiskUsage, VMStoppedShowsTheBannerAndNoSheet) {
    WindowHarness harness;
    harness.show();
    harness.window->sidebar()->viewModel()->deviceUpdated(makeDevice({FS::fat32}));
    harness.appState.setSelectedPartition(makeDevice({FS::fat32}).partitions.first());
    clickDiskUsage(harness);
    EXPECT_EQ(harness.window->diskUsage()->sheet(), nullptr);
    EXPECT_TRUE(harness.appState.showError());
    EXPECT_EQ(harness.window->errorBanner()->message(),
              QStringLiteral("VM is not running. Please select an EXT4 partition to start the VM "
                             "first."));
}

TEST(DiskUsage, PartitionWithoutFreeBytesShowsZeroFree) {
    WindowHarness harness;
    harness.show();
    // A selection the window does not mount, so the test's guest keeps the connection.
    harness.appState.setSelectedPartition(makeDevice({FS::fat32}).partitions.first());
    auto guest = connectScriptedGuest(harness.transport);
    // Another card's partition, used last, comes first.
    guest->results[QStringLiteral("get_partitions")] =
        R"([{"name":"sdc2","total_bytes":9999,"free_bytes":9},{"name":"sdb1","total_bytes":1000}])";
    guest->results[QStringLiteral("dir_usage")] =
        R"([{"name":"docs","size":600,"is_directory":true}])";
    clickDiskUsage(harness);
    QPointer<ui::DiskUsageSheet> sheet = harness.window->diskUsage()->sheet();
    ASSERT_TRUE(sheet);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return !sheet || !sheet->isLoading(); }));
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->usageView()->freeText(), ui::byteCountText(0));
    EXPECT_EQ(sheet->usageView()->usedText(), ui::byteCountText(1000));
    EXPECT_EQ(sheet->usageView()->partitionName(), QStringLiteral("sdb1"));
    EXPECT_EQ(sheet->usageView()->entryNames(), QStringList{QStringLiteral("docs")});
    EXPECT_EQ(guest->methods,
              (QStringList{QStringLiteral("get_partitions"), QStringLiteral("dir_usage")}));
    EXPECT_TRUE(guest->requests.at(1).contains(R"("partition":"sdb1")"))
        << guest->requests.at(1).toStdString();

    // Choosing a row closes the sheet and asks the browser to show the entry.
    QSignalSpy shown(&harness.appState, &app::AppState::showEntryRequested);
    QWidget* row = sheet->usageView()->entryRowWidgets().at(0);
    QTest::mouseClick(row, Qt::LeftButton, {}, row->rect().center());
    ASSERT_EQ(shown.count(), 1);
    EXPECT_EQ(shown[0][0].toString(), "/docs");
    EXPECT_TRUE(shown[0][1].toBool());
    EXPECT_TRUE(WindowHarness::waitFor([&] { return !sheet; }));
}

TEST(DiskUsage, EmptyPartitionListKeepsLoadingAndAFailureClosesWithTheBanner) {
    WindowHarness harness;
    harness.show();
    // A selection the window does not mount, so the test's guest keeps the connection.
    harness.appState.setSelectedPartition(makeDevice({FS::fat32}).partitions.first());
    auto guest = connectScriptedGuest(harness.transport);
    guest->results[QStringLiteral("get_partitions")] = "[]";
    clickDiskUsage(harness);
    QPointer<ui::DiskUsageSheet> sheet = harness.window->diskUsage()->sheet();
    ASSERT_TRUE(WindowHarness::waitFor([&] { return guest->methods.size() == 1; }));
    QTest::qWait(50);
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isLoading());
    sheet->close();

    // A failing call ends the load: banner, and the sheet closes.
    guest->results[QStringLiteral("get_partitions")] = R"([{"total_bytes":10}])";
    guest->errors[QStringLiteral("dir_usage")] = QStringLiteral("No such file or directory: /");
    clickDiskUsage(harness);
    sheet = harness.window->diskUsage()->sheet();
    ASSERT_TRUE(sheet);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return !sheet; }));
    EXPECT_TRUE(harness.appState.showError());
    EXPECT_EQ(harness.appState.errorMessage(),
              QStringLiteral("Failed to load disk usage: No such file or directory: /"));
}

TEST(DiskUsage, BarColourFollowsTheUsedShare) {
    struct Case {
        int freeBytes;
        double fraction;
        QColor fill;
    };
    const Case cases[] = {{250, 0.75, ui::theme::accent()},
                          {100, 0.90, ui::theme::systemOrange()},
                          {99, 0.901, ui::theme::systemRed()}};
    WindowHarness harness;
    harness.show();
    model::Partition partition = makeDevice({FS::fat32}).partitions.first();
    partition.label = QStringLiteral("SAMPLE");
    harness.appState.setSelectedPartition(partition);
    auto guest = connectScriptedGuest(harness.transport);
    guest->results[QStringLiteral("dir_usage")] =
        R"([{"name":"Documents","size":420,"is_directory":true},)"
        R"({"name":"photo.jpg","size":230,"is_directory":false},)"
        R"({"name":"notes.txt","size":50,"is_directory":false}])";
    for (const Case& c : cases) {
        guest->results[QStringLiteral("get_partitions")] =
            QStringLiteral(R"([{"total_bytes":1000,"free_bytes":%1}])").arg(c.freeBytes).toUtf8();
        clickDiskUsage(harness);
        QPointer<ui::DiskUsageSheet> sheet = harness.window->diskUsage()->sheet();
        ASSERT_TRUE(WindowHarness::waitFor([&] { return sheet && !sheet->isLoading(); }));
        EXPECT_EQ(sheet->usageView()->partitionName(), QStringLiteral("SAMPLE"));
        ui::UsageBar* bar = sheet->usageView()->usageBar();
        EXPECT_DOUBLE_EQ(bar->fraction(), c.fraction);
        const QImage pixels = bar->grab().toImage();
        EXPECT_EQ(pixels.pixelColor(pixels.width() / 4, pixels.height() / 2).rgb(), c.fill.rgb());
        if (c.freeBytes == 250)
            saveScreenshot(*sheet, QStringLiteral("window_disk_usage"));
        QTest::mouseClick(sheet->usageView()->closeButton(), Qt::LeftButton);
        ASSERT_TRUE(WindowHarness::waitFor([&] { return !sheet; }));
    }
}

}  // namespace
}  // namespace quorvale::test
