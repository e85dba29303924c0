#include "app_road.h"

#include "app/browser/file_browser_view_model.h"
#include "app_test_support.h"
#include "disk/disk_detection_service.h"

namespace quorvale::app {

using namespace std::chrono_literals;
using quorvale::testing::run;
using quorvale::testing::spinUntil;

namespace {

std::unique_ptr<DetectionDiskSource> detection(disk::PrivilegedHelperClient& helperClient,
                                               DetectionDiskSource*& disks) {
    auto source = std::make_unique<DetectionDiskSource>(&helperClient);
    disks = source.get();
    return source;
}

}  // namespace

AppRoad::Application::Application() {
    quorvale::testing::ensureApplication();
}

AppRoad::AppRoad() : ownHelperClient(std::make_unique<disk::PrivilegedHelperClient>()) {
    state.setScheduler([](auto, auto) {});
    useDisks(detection(*ownHelperClient, disks), *ownHelperClient);
}

AppRoad::AppRoad(Deferred) {
    state.setScheduler([](auto, auto) {});
}

void AppRoad::useDisks(std::unique_ptr<DiskSource> source,
                       disk::PrivilegedHelperClient& helperClient) {
    devices.reset();
    helper = std::make_unique<HelperClientAccess>(helperClient);
    devices =
        std::make_unique<DeviceListViewModel>(*helper, vm, transport, &state, std::move(source));
    // Software emulation boots slowly on a shared machine: a longer probe deadline than 10 s.
    devices->readyTimeout = 120s;
    QObject::connect(devices.get(), &DeviceListViewModel::mountFinished,
                     [this] { ++mountsFinished; });
}

AppRoad::~AppRoad() {
    run(vmService.stopVM(), 60s);
}

std::optional<model::Device> AppRoad::open(const QString& image) {
    std::optional<model::Device> device;
    run([&]() -> QCoro::Task<void> { device = co_await disks->service().openImage(image); }());
    return device;
}

bool AppRoad::waitForMounts(int count, std::chrono::milliseconds limit) {
    // A mount that was replaced may end first; the last one also ends the boot state.
    return spinUntil([&] { return mountsFinished >= count && !state.isBootingVM(); }, limit);
}

bool AppRoad::select(const model::Partition& partition) {
    const int before = mountsFinished;
    state.setSelectedPartition(partition);
    devices->mount(partition);
    return waitForMounts(before + 1);
}

::testing::AssertionResult AppRoad::running() const {
    if (state.vmStatus() == guest::VMStatus::running() && !state.isBootingVM())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << state.vmStatus().description.toStdString() << " / "
                                         << state.errorMessage().value_or("").toStdString();
}

QStringList AppRoad::list(const QString& partition, const QString& path) {
    FileBrowserViewModel browser;
    browser.fileOpService = devices->fileOpService();
    browser.currentPartition = partition;
    run(browser.navigateTo(path), 60s);
    EXPECT_FALSE(browser.error()) << browser.error().value_or("").toStdString();
    QStringList names;
    for (const auto& item : browser.files())
        names << item.name;
    names.sort();
    return names;
}

QString AppRoad::selectedPartition() const {
    return state.selectedPartition() ? state.selectedPartition()->bsdName : QString();
}

}  // namespace quorvale::app
