// The whole road with the real VM: a partitioned disk image with an ext4 partition is opened,
// reported, its partition auto-selected and mounted (QEMU boots, the probe passes), "/" is
// listed, a file is uploaded and exported, entries are moved and copied inside the card (a
// folder across the tree, never into its own subfolder), the card is ejected, and the image is
// clean.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "app/devices/image_file_watch.h"
#include "app_road.h"
#include "app_test_support.h"
#include "disk/disk_detection_service.h"
#include "disk/privileged_helper_client.h"
#include "disk_image.h"
#include "fileops/file_operation_service.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using namespace std::chrono_literals;

TEST(AppVMTest, MountBrowseTransferEjectAndTheImageStaysClean) {
    ensureApplication();
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";

    QTemporaryDir work;
    QDir().mkpath(work.filePath("tree/docs"));
    QDir().mkpath(work.filePath("tree/archive"));
    writeFile(work.filePath("tree/hello.txt"), "hello from the card\n");
    writeFile(work.filePath("tree/photos/2020/a.jpg"), "jpeg");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("tree"), image, work.path()));

    AppRoad road;
    AppState& state = road.state;
    DeviceListViewModel& devices = *road.devices;
    const std::optional<model::Device> card = road.open(image);
    ASSERT_TRUE(card);
    ASSERT_TRUE(road.waitForMounts(1, 180s));
    ASSERT_EQ(devices.devices().size(), 1);
    ASSERT_TRUE(state.selectedPartition());
    EXPECT_EQ(state.selectedPartition()->filesystemType, model::FilesystemType::ext4);
    ASSERT_EQ(state.vmStatus(), guest::VMStatus::running())
        << state.vmStatus().description.toStdString();
    EXPECT_FALSE(state.isBootingVM());

    FileBrowserViewModel browser;
    browser.fileOpService = devices.fileOpService();
    browser.currentPartition = state.selectedPartition()->bsdName;
    run(browser.navigateTo("/"));
    ASSERT_FALSE(browser.error()) << browser.error()->toStdString();
    QStringList names;
    for (const auto& item : browser.files())
        names << item.name;
    EXPECT_TRUE(names.contains("hello.txt")) << names.join(',').toStdString();
    EXPECT_TRUE(names.contains("docs"));

    QByteArray payload;
    for (int i = 0; i < 700000; ++i)
        payload.append(char(i * 7));
    writeFile(work.filePath("upload.bin"), payload);
    run(browser.uploadFiles({work.filePath("upload.bin")}), 120s);
    model::FileItem uploaded;
    for (const auto& item : browser.files())
        if (item.name == "upload.bin")
            uploaded = item;
    ASSERT_EQ(uploaded.size, quint64(payload.size()));
    QDir().mkpath(work.filePath("out"));
    run(browser.exportItems({uploaded}, work.filePath("out")), 120s);
    QFile exported(work.filePath("out/upload.bin"));
    ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
    EXPECT_EQ(exported.readAll(), payload);

    // A folder moved across the tree; then refused into its own subfolder; a copy beside.
    const auto itemAt = [&](const QString& name) {
        for (const auto& item : browser.files())
            if (item.name == name)
                return item;
        return model::FileItem{};
    };
    const QString partition = *browser.currentPartition;
    run(browser.navigateTo("/"));
    const model::FileItem photos = itemAt("photos");
    ASSERT_TRUE(photos.isDirectory);
    const QString archive = "/archive", child = "/archive/photos/2020", root = "/";
    const PlacementReport moved =
        run(browser.placeItems(QList{photos}, partition, archive, Placement::move));
    EXPECT_EQ(moved.paths, QStringList{"/archive/photos"});
    run(browser.navigateTo("/archive"));
    const model::FileItem movedPhotos = itemAt("photos");
    EXPECT_THROW(run(browser.placeItems(QList{movedPhotos}, partition, child, Placement::move)),
                 PlacementRefused);
    run(browser.navigateTo("/"));
    browser.setSelectedFiles({"/hello.txt"});
    browser.copySelection();
    const PlacementReport copied = run(browser.paste(root));
    EXPECT_EQ(copied.paths, QStringList{"/hello 2.txt"});

    run(devices.ejectDevice(*card), 60s);
    EXPECT_EQ(state.vmStatus(), guest::VMStatus::stopped());
    EXPECT_TRUE(spinUntil([&] { return devices.devices().isEmpty(); }, 10s));
    EXPECT_FALSE(state.selectedPartition());

    EXPECT_TRUE(isPartitionClean(image));
    const QString part = work.filePath("check.img");
    ASSERT_TRUE(extractPartition(image, part));
    auto [cat, catOut] = runTool("debugfs", {"-R", "cat /upload.bin", part});
    EXPECT_EQ(cat, 0);
    EXPECT_TRUE(catOut.contains(payload.left(1000)));
    auto [moves, movesOut] = runTool("debugfs", {"-R", "cat /archive/photos/2020/a.jpg", part});
    EXPECT_TRUE(movesOut.contains("jpeg")) << movesOut.toStdString();
    auto [copy, copyOut] = runTool("debugfs", {"-R", "cat \"/hello 2.txt\"", part});
    EXPECT_TRUE(copyOut.contains("hello from the card\n")) << copyOut.toStdString();
    auto [gone, goneOut] = runTool("debugfs", {"-R", "ls /photos", part});
    EXPECT_FALSE(goneOut.contains("2020")) << goneOut.toStdString();
}

// The image file changes under the running VM: shortened, then deleted. The first refuses
// changes while browsing goes on; the second detaches the image as a pulled card.
TEST(AppVMTest, ImageShortenedThenDeletedWhileOpen) {
    ensureApplication();
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";

    QTemporaryDir work;
    QDir().mkpath(work.filePath("tree/docs"));
    writeFile(work.filePath("tree/hello.txt"), "hello\n");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("tree"), image, work.path()));

    AppRoad road;
    AppState& state = road.state;
    DeviceListViewModel& devices = *road.devices;
    DetectionDiskSource* disks = road.disks;
    QObject context;
    followImageFiles(disks->service(), state, &context);
    const std::optional<model::Device> card = road.open(image);
    ASSERT_TRUE(card);
    ASSERT_TRUE(road.waitForMounts(1, 180s));
    ASSERT_EQ(state.vmStatus(), guest::VMStatus::running())
        << state.vmStatus().description.toStdString();

    FileBrowserViewModel browser;
    browser.fileOpService = devices.fileOpService();
    browser.currentPartition = state.selectedPartition()->bsdName;
    run(browser.navigateTo("/"));
    ASSERT_FALSE(browser.error());

    // Cut the last MiB off: the image is damaged and changes are refused. Reads stop too: QEMU
    // answers reads past the new end with zeros, so nothing read now can be trusted.
    const qint64 size = QFileInfo(image).size();
    ASSERT_TRUE(QFile::resize(image, size - (1 << 20)));
    ASSERT_TRUE(spinUntil([&] { return state.changesRefused().has_value(); }, 10s));
    EXPECT_TRUE(state.errorMessage()->contains("shortened")) << state.errorMessage()->toStdString();
    EXPECT_TRUE(disks->service().images().isReadOnly(card->bsdName));
    browser.fileOpService->refuseChanges(state.changesRefused());  // as the browser view does
    EXPECT_THROW(run(browser.createFolder("lost")), std::exception);
    run(browser.navigateTo("/docs"));
    EXPECT_EQ(browser.error().value_or(QString()).toStdString(),
              "Disk disconnected. Please open the disk image again.");
    EXPECT_TRUE(browser.files().isEmpty());

    // Delete it: detached like a pulled card, the VM stops, nothing is selected.
    ASSERT_TRUE(QFile::remove(image));
    ASSERT_TRUE(spinUntil([&] { return devices.devices().isEmpty(); }, 10s));
    EXPECT_TRUE(spinUntil([&] { return state.vmStatus() == guest::VMStatus::stopped(); }, 30s));
    EXPECT_FALSE(state.selectedPartition());
    EXPECT_FALSE(disks->service().images().contains(card->bsdName));
    EXPECT_TRUE(state.errorMessage()->contains("deleted or moved away"))
        << state.errorMessage()->toStdString();
    EXPECT_THROW(run(browser.createFolder("lost")), std::exception);
}

}  // namespace
}  // namespace quorvale::app
