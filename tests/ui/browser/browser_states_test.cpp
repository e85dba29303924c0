// What the browser shows when it has nothing to list, and a preview that stays true: a
// partition that cannot be opened, a VM that stopped (with Retry), and the preview following
// overwrites, deletions and the guest going away.

#include <QDir>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include "browser_fixture.h"
#include "ui/browser/breadcrumb_bar.h"
#include "ui/browser/search_bar.h"
#include "ui/browser/state_page.h"
#include "ui/common/screenshot.h"
#include "ui/preview/file_preview_panel.h"
#include "vm/qstring_printer.h"

namespace quorvale::test {
namespace {

using Content = ui::FileBrowserView::Content;

TEST(BrowserNoticeRules, WhatShowsInsteadOfAListing) {
    model::Partition boot;
    boot.id = boot.bsdName = "sdb1";
    boot.label = "BOOT";
    boot.filesystemType = model::FilesystemType::fat32;
    model::Partition blank = boot;
    blank.label.reset();
    blank.filesystemType = model::FilesystemType::unknown;
    model::Partition root = boot;
    root.label = "rootfs";
    root.filesystemType = model::FilesystemType::ext4;
    using guest::VMStatus;
    struct Case {
        std::optional<model::Partition> partition;
        VMStatus status;
        bool booting;
        std::optional<QString> message;  // nothing: the listing shows
        bool retry;
    };
    const Case cases[] = {
        {std::nullopt, VMStatus::stopped(), false, std::nullopt, false},
        {boot, VMStatus::running(), false, "BOOT is FAT32. Quorvale opens ext2, ext3 and ext4.",
         false},
        {blank, VMStatus::running(), false,
         "sdb1 holds no filesystem Quorvale recognises. Quorvale opens ext2, ext3 and ext4.",
         false},
        {root, VMStatus::running(), false, std::nullopt, false},
        {root, VMStatus::booting(), true, std::nullopt, false},
        {root, VMStatus::stopped(), true, std::nullopt, false},  // a mount is about to boot it
        {root, VMStatus::stopped(), false, "The files of rootfs show again once the VM runs.",
         true},
        {root, VMStatus::error("QEMU exited with status 1"), false, "QEMU exited with status 1",
         true},
    };
    for (const Case& c : cases) {
        const auto notice = app::browserNotice(c.partition, c.status, c.booting);
        ASSERT_EQ(notice.has_value(), c.message.has_value()) << c.status.text().toStdString();
        if (notice) {
            EXPECT_EQ(notice->message, *c.message);
            EXPECT_EQ(notice->offersRetry, c.retry);
        }
    }
    model::Partition image = root;
    image.bsdName = "image0p2";
    EXPECT_EQ(app::mediumNoun(image), "disk");
    EXPECT_EQ(app::mediumNoun(root), "SD card");
}

TEST_F(BrowserTest, FatPartitionClearsTheListingAndSaysWhy) {
    agent.makeDirectory("docs");
    agent.writeFile("docs/a.txt", "a");
    open();
    clickTile(0);
    ASSERT_EQ(selectedNames(), QSet<QString>{"docs"});
    model::Partition boot;
    boot.id = boot.bsdName = "sdb1";
    boot.label = "BOOT";
    boot.filesystemType = model::FilesystemType::fat32;
    appState.setSelectedPartition(boot);
    EXPECT_EQ(view->content(), Content::notice);
    EXPECT_TRUE(view->viewModel()->files().isEmpty());
    EXPECT_TRUE(view->viewModel()->selectedFiles().isEmpty());
    ui::StatePage* page = view->statePageWidget();
    EXPECT_EQ(page->titleText(), "BOOT cannot be opened");
    EXPECT_EQ(page->messageText(), "BOOT is FAT32. Quorvale opens ext2, ext3 and ext4.");
    EXPECT_FALSE(page->button()->isVisible());
    EXPECT_FALSE(view->breadcrumbs()->isVisible());
    saveScreenshot(*view, "browser_fat32");
    // Nothing is asked of the guest for it, not even after the VM reports running again.
    appState.setVmStatus(guest::VMStatus::booting());
    appState.setVmStatus(guest::VMStatus::running());
    QTest::qWait(100);
    EXPECT_TRUE(view->viewModel()->files().isEmpty());
    EXPECT_EQ(view->content(), Content::notice);
}

TEST_F(BrowserTest, StoppedVMOffersRetryAndComesBackToTheSameFolder) {
    agent.makeDirectory("docs");
    agent.writeFile("docs/a.txt", "a");
    open();
    testing::run(view->viewModel()->navigateTo("/docs"));
    ASSERT_EQ(view->viewModel()->files().size(), 1);
    clickTile(0);
    ASSERT_FALSE(selectedNames().isEmpty());

    appState.setVmStatus(guest::VMStatus::error("QEMU exited with status 1"));
    EXPECT_EQ(view->content(), Content::notice);
    EXPECT_TRUE(view->viewModel()->files().isEmpty());
    EXPECT_TRUE(view->viewModel()->selectedFiles().isEmpty());
    ui::StatePage* page = view->statePageWidget();
    EXPECT_EQ(page->titleText(), "The VM stopped");
    EXPECT_EQ(page->messageText(), "QEMU exited with status 1");
    ASSERT_TRUE(page->button()->isVisible());
    EXPECT_EQ(page->button()->text(), "Retry");
    // Only the notice: no breadcrumb of a folder nothing is listed for, no "0 items", and no
    // way to move to another folder while nobody can list it.
    EXPECT_FALSE(view->breadcrumbs()->isVisible());
    EXPECT_FALSE(view->searchBar()->isVisible());
    EXPECT_FALSE(view->statusLine()->isVisible());
    EXPECT_FALSE(view->upCommand()->isEnabled());
    EXPECT_FALSE(view->backCommand()->isEnabled());
    saveScreenshot(*view, "browser_vm_stopped");

    QTest::mouseClick(page->button(), Qt::LeftButton);
    EXPECT_TRUE(appState.retryMountAfterFDA()) << "the sidebar is asked to mount again";
    // The mount boots the VM; the browser lists the folder it showed.
    appState.setRetryMountAfterFDA(false);
    appState.setIsBootingVM(true);
    appState.setVmStatus(guest::VMStatus::booting());
    EXPECT_NE(view->content(), Content::notice);
    appState.setIsBootingVM(false);
    appState.setVmStatus(guest::VMStatus::running());
    ASSERT_TRUE(testing::spinUntil([this] { return view->viewModel()->files().size() == 1; }));
    EXPECT_EQ(view->viewModel()->currentPath(), "/docs");
    EXPECT_EQ(view->content(), Content::grid);
    EXPECT_TRUE(view->breadcrumbs()->isVisible());
    EXPECT_TRUE(view->statusLine()->isVisible());
    EXPECT_TRUE(view->upCommand()->isEnabled());
}

TEST_F(BrowserTest, PreviewFollowsOverwriteDeleteAndTheGuestGoingAway) {
    agent.writeFile("notes.txt", "first");
    agent.writeFile("other.txt", "x");
    appState.setShowPreviewPanel(true);
    open();
    clickTile(0);
    ui::FilePreviewPanel* panel = view->previewPanel();
    ASSERT_TRUE(testing::spinUntil([&] { return panel->textView()->toPlainText() == "first"; }));

    agent.writeFile("notes.txt", "second, longer");
    refresh();
    ASSERT_TRUE(
        testing::spinUntil([&] { return panel->textView()->toPlainText() == "second, longer"; }));

    // Selecting something else and back, then deselecting, leaves no stale preview.
    clickTile(0, Qt::ControlModifier);
    EXPECT_FALSE(view->previewViewModel()->selectedItem());

    clickTile(0);
    ASSERT_TRUE(view->previewViewModel()->selectedItem());
    QFile::remove(agent.rootPath("notes.txt"));
    refresh();
    EXPECT_FALSE(view->previewViewModel()->selectedItem());
    EXPECT_FALSE(view->previewViewModel()->previewText());

    clickTile(0);  // other.txt
    ASSERT_TRUE(view->previewViewModel()->selectedItem());
    appState.setVmStatus(guest::VMStatus::stopped());
    EXPECT_FALSE(view->previewViewModel()->selectedItem());
    EXPECT_FALSE(view->previewViewModel()->isLoadingPreview());
}

TEST_F(BrowserTest, DamagedDiskRefusesEveryChangeButStillBrowses) {
    agent.writeFile("keep.txt", "keep");
    agent.makeDirectory("docs");
    open();
    appState.refuseChanges("sdb", "The disk image “card.img” was shortened while open.");
    EXPECT_TRUE(view->statusText().contains("Read-only"));
    clickTile(1);  // keep.txt
    ASSERT_EQ(selectedNames(), QSet<QString>{"keep.txt"});
    view->grid()->setFocus();
    for (const QKeySequence& keys : {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N),
                                     QKeySequence(Qt::Key_Delete), QKeySequence(Qt::Key_F2)})
        QTest::keySequence(view->grid(), keys);
    QTest::qWait(50);
    EXPECT_FALSE(appState.activeAlert()) << "no delete sheet, no rename failure";
    EXPECT_FALSE(QApplication::activeModalWidget());
    QMenu* menu = view->entryMenu(view->viewModel()->selectedItems().first());
    for (QAction* action : menu->actions()) {
        if (QStringList{"Rename…", "Duplicate", "Delete"}.contains(action->text())) {
            EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
        }
    }
    delete menu;
    // An upload started anyway (a drop in flight) fails before anything reaches the card.
    QTemporaryDir local;
    QFile file(local.filePath("new.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("new");
    file.close();
    testing::run(view->upload({file.fileName()}));
    ASSERT_TRUE(appState.activeAlert());
    appState.setActiveAlert(std::nullopt);
    EXPECT_EQ(QDir(agent.rootPath("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"docs", "keep.txt"}));
    testing::run(view->viewModel()->navigateTo("/docs"));
    EXPECT_EQ(view->viewModel()->currentPath(), "/docs");
    EXPECT_FALSE(view->viewModel()->error());

    // Another disk's partition is not affected.
    model::Partition other;
    other.id = other.bsdName = "sdc1";
    other.filesystemType = model::FilesystemType::ext4;
    appState.setSelectedPartition(other);
    EXPECT_FALSE(view->statusText().contains("Read-only"));
}

}  // namespace
}  // namespace quorvale::test
