// The sidebar's staged changes with the window's real disk source on an ext4 image and real
// overlays (qemu-img) in a cache directory of the test: the switch mounts the card again below
// an overlay, the pending list follows the browser's changes, Apply to Card commits through the
// VM with a writable handle and checks the card, Discard drops the overlay and mounts the card
// directly, and changes left by a crash are offered at the next mount.

#include <fcntl.h>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/browser/file_browser_view_model.h"
#include "app/staging/staged_changes.h"
#include "app/staging/staged_recording.h"
#include "fileops/file_operation_service.h"
#include "rpc/unique_fd.h"
#include "ui/common/screenshot.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/sidebar/staged_changes_panel.h"
#include "window_fakes.h"

namespace quorvale::test {
namespace {

// Runs `task` to its end; its failure's text, or empty.
template <typename T>
std::string failureOf(QCoro::Task<T> task) {
    bool done = false;
    std::string failure;
    auto waiter = [](QCoro::Task<T> running, bool& ended, std::string& text) -> QCoro::Task<void> {
        try {
            co_await std::move(running);
        } catch (const std::exception& error) {
            text = error.what();
        }
        ended = true;
    }(std::move(task), done, failure);
    EXPECT_TRUE(WindowHarness::waitFor([&] { return done; }));
    return failure;
}

class StagedWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(harness.dir.filePath("cache")));
        cacheDir = harness.dir.filePath("cache/quorvale/staged");
    }
    void TearDown() override { qunsetenv("XDG_CACHE_HOME"); }

    void openImage() {
        harness.show();
        image = makeExt4Image(harness.dir.path());
        harness.window->openDiskImage(image);
        ASSERT_TRUE(WindowHarness::waitFor(
            [&] { return harness.appState.vmStatus() == guest::VMStatus::running(); }));
        partition = *harness.appState.selectedPartition();
        disk = harness.window->sidebar()->viewModel()->devices().first().id;
    }
    QStringList cacheFiles() const { return QDir(cacheDir).entryList(QDir::Files); }
    // On the box itself: a check box stretched across the sidebar takes clicks on its box and
    // its text only.
    static void clickToggle(ui::StagedChangesPanel* panel) {
        QCheckBox* box = panel->stageToggle();
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    }
    QStringList rows(ui::StagedChangesPanel* panel) const {
        QStringList texts;
        for (int i = 0; i < panel->pendingList()->count(); ++i)
            texts << panel->pendingList()->item(i)->text();
        return texts;
    }

    WindowHarness harness;
    QString cacheDir;
    QString image;
    model::Partition partition;
    QString disk;
};

TEST_F(StagedWindowTest, StageListApplyThenStageAgainAndDiscard) {
    openImage();
    ui::SidebarView* sidebar = harness.window->sidebar();
    app::DeviceListViewModel* model = sidebar->viewModel();
    ui::StagedChangesPanel* panel = sidebar->stagedPanel();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_FALSE(panel->stageToggle()->isChecked());
    EXPECT_FALSE(panel->applyButton()->isVisible());
    EXPECT_TRUE(harness.vm.stagedDisks.isEmpty());

    // The switch mounts the card again, read-only below a new overlay.
    const int boots = harness.vm.boots;
    clickToggle(panel);
    ASSERT_TRUE(WindowHarness::waitFor([&] {
        return harness.vm.boots > boots && model->stagedRecord(disk) &&
               harness.appState.vmStatus() == guest::VMStatus::running();
    }));
    EXPECT_EQ(harness.vm.stagedDisks, QStringList{disk});
    EXPECT_TRUE(panel->stageToggle()->isChecked());
    EXPECT_EQ(cacheFiles().size(), 2) << cacheFiles().join(' ').toStdString();
    EXPECT_TRUE(panel->applyButton()->isVisible());
    EXPECT_FALSE(panel->applyButton()->isEnabled()) << "nothing to apply yet";

    // The browser's changes, as its service announces them done.
    using Kind = fileops::Change::Kind;
    fileops::Change upload{Kind::written, "/a.bin", {}, partition.bsdName};
    upload.bytes = 5000000;
    model->stagedChange(upload, partition.bsdName);
    model->stagedChange({Kind::folderCreated, "/New Folder", {}, partition.bsdName},
                        partition.bsdName);
    model->stagedChange({Kind::renamed, "/README.txt", "READ.txt", partition.bsdName},
                        partition.bsdName);
    model->stagedChange({Kind::deleted, "/Documents", {}, partition.bsdName}, partition.bsdName,
                        4096);
    EXPECT_EQ(rows(panel),
              (QStringList{"Upload /a.bin (5.0 MB)", "New folder /New Folder",
                           "Rename /README.txt to READ.txt", "Delete /Documents (4.1 kB)"}));
    EXPECT_TRUE(panel->statusLabel()->text().startsWith("4 change(s)"))
        << panel->statusLabel()->text().toStdString();
    EXPECT_FALSE(panel->stageToggle()->isEnabled()) << "staging cannot stop with changes pending";
    // An upload the overlay has no room for is refused before it is sent.
    fileops::Change huge{Kind::written, "/huge.bin", {}, partition.bsdName};
    huge.bytes = std::uint64_t(1) << 60;
    EXPECT_THROW(model->checkStagedChange(huge, partition.bsdName), app::StagedError);
    EXPECT_EQ(panel->pendingList()->count(), 4);
    saveScreenshot(*sidebar, QStringLiteral("sidebar_staged_changes"));

    // Apply: a writable handle for the commit, the check, the overlay gone, mounted again.
    ScriptedGuest* guest = harness.vm.guests.back().get();
    QTest::mouseClick(panel->applyButton(), Qt::LeftButton);
    ASSERT_TRUE(WindowHarness::waitFor([&] {
        return !model->stagedRecord(disk) &&
               panel->statusLabel()->text().startsWith("Applied to the card");
    })) << panel->statusLabel()->text().toStdString();
    EXPECT_EQ(harness.vm.commits, QStringList{disk});
    EXPECT_EQ(harness.vm.commitAccess, std::vector<int>{O_RDWR});
    EXPECT_TRUE(guest->methods.contains("check_filesystem"));
    EXPECT_LT(guest->methods.lastIndexOf("unmount"), guest->methods.indexOf("check_filesystem"));
    EXPECT_TRUE(cacheFiles().isEmpty()) << cacheFiles().join(' ').toStdString();
    EXPECT_FALSE(panel->stageToggle()->isChecked());
    EXPECT_FALSE(panel->applyButton()->isVisible());

    // Staged again, then discarded: the overlay goes and the card is mounted directly.
    clickToggle(panel);
    ASSERT_TRUE(WindowHarness::waitFor([&] {
        return model->stagedRecord(disk) && harness.vm.stagedDisks == QStringList{disk} &&
               harness.appState.vmStatus() == guest::VMStatus::running();
    }));
    model->stagedChange({Kind::folderCreated, "/Later", {}, partition.bsdName}, partition.bsdName);
    const int before = harness.vm.boots;
    QTest::mouseClick(panel->discardButton(), Qt::LeftButton);
    ASSERT_TRUE(WindowHarness::waitFor([&] {
        return !model->isStaging(disk) && harness.vm.boots > before &&
               harness.appState.vmStatus() == guest::VMStatus::running();
    }));
    EXPECT_TRUE(harness.vm.stagedDisks.isEmpty());
    EXPECT_EQ(harness.vm.commits.size(), 1);
    EXPECT_TRUE(cacheFiles().isEmpty()) << cacheFiles().join(' ').toStdString();
    EXPECT_TRUE(panel->statusLabel()->text().startsWith("Discarded"));
}

// The pending list holds what the guest did through a browser: a rename it refused is not there,
// and of a batch of uploads each file written is, and the file it refused is not.
TEST_F(StagedWindowTest, OnlyChangesTheGuestDidArePending) {
    openImage();
    app::DeviceListViewModel* model = harness.window->sidebar()->viewModel();
    ui::StagedChangesPanel* panel = harness.window->sidebar()->stagedPanel();
    clickToggle(panel);
    ASSERT_TRUE(WindowHarness::waitFor([&] {
        return model->stagedRecord(disk) &&
               harness.appState.vmStatus() == guest::VMStatus::running();
    }));
    app::FileBrowserViewModel files;
    files.connectService(model->fileOpService(), partition.bsdName, disk);
    app::followStagedChanges(files, *model);
    fileops::FileOperationService& service = *files.fileOpService;
    ScriptedGuest* guest = harness.vm.guests.back().get();

    guest->errors["rename"] = "File exists: /READ.txt";
    EXPECT_EQ(failureOf(service.rename("/README.txt", "READ.txt", partition.bsdName)),
              "File exists: /READ.txt");
    EXPECT_TRUE(rows(panel).isEmpty()) << rows(panel).join(", ").toStdString();
    guest->errors.remove("rename");
    guest->results["rename"] = R"({"new_path":"/READ.txt"})";
    EXPECT_EQ(failureOf(service.rename("/README.txt", "READ.txt", partition.bsdName)), "");

    guest->results["write_files"] = R"([true,{"code":-17,"message":"File exists: /b.txt"},true])";
    std::vector<UniqueFd> locals;
    std::vector<fileops::WholeFile> batch;
    for (const QByteArray& name : {QByteArray("a"), QByteArray("bb"), QByteArray("ccc")}) {
        const QString path = harness.dir.filePath(QString::fromLatin1(name) + ".txt");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(name);
        file.close();
        locals.emplace_back(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        fileops::WholeFile whole;
        whole.path = "/" + QString::fromLatin1(name) + ".txt";
        whole.fd = locals.back().get();
        whole.size = static_cast<std::uint64_t>(name.size());
        batch.push_back(whole);
    }
    EXPECT_EQ(failureOf(service.writeFiles(batch, partition.bsdName)), "");
    EXPECT_EQ(rows(panel), (QStringList{"Rename /README.txt to READ.txt", "Upload /a.txt (1 byte)",
                                        "Upload /ccc.txt (3 bytes)"}))
        << rows(panel).join(" | ").toStdString();
}

TEST_F(StagedWindowTest, ChangesLeftByACrashAreOfferedAtTheNextMountOfTheSameCard) {
    image = makeExt4Image(harness.dir.path());
    // What a run that died left behind: an overlay and its record for this card.
    QDir().mkpath(cacheDir);
    app::StagedRecord record;
    {
        const UniqueFd fd(::open(QFile::encodeName(image).constData(), O_RDONLY | O_CLOEXEC));
        record.card = app::CardIdentity::read(fd.get(), 0, image, "image0");
    }
    record.overlay = app::StagedStore::createOverlay(cacheDir, record.card.size);
    record.operations = {{app::StagedOperation::Kind::upload, "/photo.jpg", {}, 2500000}};
    const QString recordPath = cacheDir + "/left.json";
    app::StagedStore::save(record, recordPath);
    // And one for another card, which stays where it is.
    app::StagedRecord other = record;
    other.card.uuid = "00000000-1111-2222-3333-444444444444";
    other.overlay = cacheDir + "/other.qcow2";
    app::StagedStore::save(other, cacheDir + "/other.json");

    harness.show();
    harness.window->openDiskImage(image);
    ASSERT_TRUE(WindowHarness::waitFor(
        [&] { return harness.appState.vmStatus() == guest::VMStatus::running(); }));
    disk = harness.window->sidebar()->viewModel()->devices().first().id;
    ui::StagedChangesPanel* panel = harness.window->sidebar()->stagedPanel();
    EXPECT_EQ(harness.vm.stagedDisks, QStringList{disk}) << "the card was mounted unstaged";
    ASSERT_TRUE(WindowHarness::waitFor([&] { return panel->noticeLabel()->isVisible(); }));
    EXPECT_TRUE(panel->noticeLabel()->text().contains("found"))
        << panel->noticeLabel()->text().toStdString();
    EXPECT_EQ(rows(panel), QStringList{"Upload /photo.jpg (2.5 MB)"});
    EXPECT_TRUE(panel->applyButton()->isEnabled());
    EXPECT_TRUE(panel->discardButton()->isEnabled());
    saveScreenshot(*harness.window->sidebar(), QStringLiteral("sidebar_staged_recovered"));

    QTest::mouseClick(panel->discardButton(), Qt::LeftButton);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return !QFile::exists(recordPath); }));
    EXPECT_FALSE(QFile::exists(record.overlay));
    EXPECT_TRUE(QFile::exists(cacheDir + "/other.json"));
    EXPECT_TRUE(harness.vm.commits.isEmpty());
}

}  // namespace
}  // namespace quorvale::test
