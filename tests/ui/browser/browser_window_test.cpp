// The browser inside the main window, over the fake VM and a scripted guest: the FAT32 partition
// beside an ext4 one, and QEMU dying under the browser, then Retry.

#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "ui/browser/file_browser_view.h"
#include "ui/browser/state_page.h"
#include "ui/common/screenshot.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/sidebar/vm_status_indicator.h"
#include "ui/window/window_fakes.h"
#include "vm/qstring_printer.h"

namespace quorvale::test {
namespace {

using FS = model::FilesystemType;
using Content = ui::FileBrowserView::Content;

// A window whose detail column is the real browser, over guests answering one listing.
struct BrowserWindow {
    BrowserWindow() {
        harness.vm.guestResults.insert(
            "list_dir", R"([{"name":"docs","path":"/docs","size":4096,"is_directory":true},)"
                        R"({"name":"a.txt","path":"/a.txt","size":3,"is_directory":false}])");
        harness.window->setDetailWidgetFactory(
            [this](app::AppState& state, guest::VsockTransport& transport) {
                browser = new ui::FileBrowserView(state, transport);
                return browser;
            });
        harness.show();
    }

    void clickPartition(const QString& id) {
        ui::SidebarView* sidebar = harness.window->sidebar();
        const int row = sidebar->rowOfPartition(id);
        ASSERT_GE(row, 0);
        const QRect rect = sidebar->list()->visualItemRect(sidebar->list()->item(row));
        QTest::mouseClick(sidebar->list()->viewport(), Qt::LeftButton, {}, rect.center());
    }

    bool listed() {
        return WindowHarness::waitFor([&] {
            return browser->viewModel()->files().size() == 2 && !browser->viewModel()->isLoading();
        });
    }

    WindowHarness harness;
    ui::FileBrowserView* browser = nullptr;
};

TEST(BrowserWindow, FatPartitionShowsWhyInsteadOfTheExt4Listing) {
    BrowserWindow w;
    w.harness.window->sidebar()->viewModel()->deviceUpdated(makeDevice({FS::fat32, FS::ext4}));
    ASSERT_TRUE(w.listed());
    w.clickPartition("sdb1");
    EXPECT_EQ(w.browser->content(), Content::notice);
    EXPECT_TRUE(w.browser->viewModel()->files().isEmpty());
    EXPECT_EQ(w.browser->statePageWidget()->messageText(),
              "sdb1 is FAT32. Quorvale opens ext2, ext3 and ext4.");
    saveScreenshot(*w.harness.window, "window_fat32_partition");
    w.clickPartition("sdb2");
    ASSERT_TRUE(w.listed());
    EXPECT_EQ(w.browser->content(), Content::grid);
}

// A card pulled from its reader: what the guest reads of it then (zeros) is never shown as the
// folder; the browser asks for the card instead.
TEST(BrowserWindow, AFolderOfACardGoneFromItsReaderIsNotShown) {
    BrowserWindow w;
    w.harness.window->sidebar()->viewModel()->deviceUpdated(makeDevice({FS::ext4}));
    ASSERT_TRUE(w.listed());
    w.harness.vm.removed << QStringLiteral("sdb");
    w.browser->viewModel()->navigateTo("/docs");
    app::FileBrowserViewModel& files = *w.browser->viewModel();
    ASSERT_TRUE(WindowHarness::waitFor([&] { return files.error() && !files.isLoading(); }));
    EXPECT_EQ(*files.error(), "Disk disconnected. Please reinsert the SD card.");
    EXPECT_TRUE(files.files().isEmpty());
}

TEST(BrowserWindow, QemuDyingShowsTheStoppedStateAndRetryReturnsToTheFolder) {
    BrowserWindow w;
    w.harness.window->sidebar()->viewModel()->deviceUpdated(makeDevice({FS::ext4}));
    ASSERT_TRUE(w.listed());
    w.browser->viewModel()->navigateTo("/docs");
    ASSERT_TRUE(w.listed());
    ASSERT_EQ(w.browser->viewModel()->currentPath(), "/docs");
    const int bootsBefore = w.harness.vm.boots;

    // What the VM service reports when QEMU exits on its own.
    w.harness.vm.running = false;
    w.harness.transport.disconnect();
    w.harness.appState.setVmStatus(guest::VMStatus::error("QEMU exited with status 1"));
    EXPECT_EQ(w.browser->content(), Content::notice);
    EXPECT_TRUE(w.browser->viewModel()->files().isEmpty());
    EXPECT_EQ(w.harness.window->sidebar()->statusIndicator()->text(),
              "VM Error: QEMU exited with status 1");
    QPushButton* retry = w.browser->statePageWidget()->button();
    ASSERT_TRUE(retry->isVisible());
    saveScreenshot(*w.harness.window, "window_vm_stopped");

    QTest::mouseClick(retry, Qt::LeftButton);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return w.harness.vm.boots == bootsBefore + 1; }));
    ASSERT_TRUE(w.listed());
    EXPECT_EQ(w.browser->viewModel()->currentPath(), "/docs");
    EXPECT_EQ(w.harness.appState.vmStatus(), guest::VMStatus::running());
    const QByteArray lastListing = w.harness.vm.guests.back()->requests.last();
    EXPECT_TRUE(lastListing.contains(R"("path":"/docs")")) << lastListing.toStdString();
}

}  // namespace
}  // namespace quorvale::test
