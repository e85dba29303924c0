// The subfolder search and the disk-usage sizes in the real VM, on an ext4 image made with
// mkfs.ext4 -d: results from every depth in batches, links never followed, sizes that add up to
// no more than the used space, and a search left running that does not keep the card from
// being ejected.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
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

TEST(SearchVMTest, SearchesEveryDepthAndLetsTheCardGoWhileASearchIsOpen) {
    ensureApplication();
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";

    QTemporaryDir work;
    const QString tree = work.filePath("tree");
    QString deep = tree;
    for (int i = 0; i < 24; ++i)
        deep += QStringLiteral("/level%1").arg(i);
    QDir().mkpath(deep);
    writeFile(deep + "/Report-deep.txt", "deep");
    for (int i = 0; i < 450; ++i)
        writeFile(QStringLiteral("%1/many/%2/report-%3.txt").arg(tree).arg(i / 90).arg(i), "r");
    writeFile(tree + "/other.txt", QByteArray(100000, 'o'));
    ASSERT_TRUE(QFile::link("..", tree + "/many/loop"));
    ASSERT_TRUE(QFile::link("/", tree + "/report-root-link"));
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(tree, image, work.path()));

    AppRoad road;
    AppState& state = road.state;
    DeviceListViewModel& devices = *road.devices;
    const std::optional<model::Device> card = road.open(image);
    ASSERT_TRUE(card);
    ASSERT_TRUE(road.waitForMounts(1, 180s));
    ASSERT_EQ(state.vmStatus(), guest::VMStatus::running())
        << state.vmStatus().description.toStdString();
    const auto service = devices.fileOpService();
    const QString partition = state.selectedPartition()->bsdName;

    QStringList found;
    int batches = 0;
    const auto outcome = run(service->search(
                                 "/", "REPORT", partition,
                                 [&](QList<model::FileItem> items) {
                                     ++batches;
                                     for (const model::FileItem& item : items)
                                         found << item.path;
                                 },
                                 {}, 2000),
                             120s);
    EXPECT_EQ(outcome, fileops::SearchOutcome::completed);
    EXPECT_EQ(found.size(), 452) << "450, the deep one and the link itself, each once";
    EXPECT_TRUE(found.contains(deep.mid(tree.size()) + "/Report-deep.txt"));
    EXPECT_TRUE(found.contains("/report-root-link"));
    EXPECT_EQ(QSet<QString>(found.begin(), found.end()).size(), found.size());
    EXPECT_GE(batches, 3);

    // The entries' blocks add up to no more than the partition's used space.
    const std::vector<fileops::Dictionary> usage = run(service->dirUsage("/", partition));
    std::int64_t allocated = 0;
    for (const fileops::Dictionary& entry : usage)
        allocated += entry.at("allocated").intValue().value_or(-1);
    std::int64_t used = 0;
    for (const fileops::Dictionary& record : run(service->getPartitions()))
        if (record.at("name").stringValue() == partition.toStdString())
            used = *record.at("total_bytes").intValue() - *record.at("free_bytes").intValue();
    EXPECT_GT(allocated, 450 * 1024) << "every small file takes a block";
    EXPECT_LE(allocated, used);

    // A search left open holds directories in the guest; the eject still goes through.
    FileBrowserViewModel browser;
    browser.connectService(service, partition, image);
    run(browser.navigateTo("/"));
    browser.setSearchesSubfolders(true);
    browser.setSearchQuery("report");
    auto searching = browser.searchSubfolders();
    ASSERT_TRUE(spinUntil([&] { return !browser.files().isEmpty(); }, 60s));
    run(devices.ejectDevice(*card), 120s);
    EXPECT_EQ(state.vmStatus(), guest::VMStatus::stopped());
    browser.stopSearch();
    EXPECT_TRUE(isPartitionClean(image));
}

}  // namespace
}  // namespace quorvale::app
