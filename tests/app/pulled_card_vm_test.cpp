// A card pulled in the middle of its use, with the real VM: the image file deleted or cut short
// while a large file is exported or uploaded, or while a large folder is listed. Each call ends
// with one clear error well within its timeout (or, for a listing that won the race, with the
// whole listing), nothing is left under a final name, and once the card is back the app mounts
// and lists it again.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "app/devices/image_file_watch.h"
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

// Three chunks of at most 4 MiB (twice that fits the card), so that the card goes while the
// transfer runs.
constexpr qsizetype bigSize = (8 << 20) + 4321;
// A call's own timeout, plus the VM's stop and slack for a shared, emulated machine.
constexpr auto callLimit = fileops::FileOperationService::callTimeout + 50s;

QByteArray pattern(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<char>(x);
    }
    return bytes;
}

// One line of readable text: what the user is shown.
bool isClear(const QString& message) {
    return !message.trimmed().isEmpty() && !message.contains(QLatin1Char('\n')) &&
           message.size() < 300;
}

// The application's services as the window wires them, around one image.
class App {
public:
    App() {
        state.setScheduler([](auto, auto) {});
        auto source = std::make_unique<DetectionDiskSource>(&helperClient);
        disks = source.get();
        devices =
            std::make_unique<DeviceListViewModel>(helper, vm, transport, &state, std::move(source));
        devices->readyTimeout = 120s;
        followImageFiles(disks->service(), state, &context);
        QObject::connect(devices.get(), &DeviceListViewModel::mountFinished, [this] { ++mounts; });
        // As the browser view does: a damaged card's service refuses changes.
        QObject::connect(&state, &AppState::changesRefusedChanged, [this] {
            if (browser.fileOpService)
                browser.fileOpService->refuseChanges(state.changesRefused());
        });
    }

    // Opens the image and waits for its mount; the browser then shows "/".
    ::testing::AssertionResult mount(const QString& image) {
        const int before = mounts;
        card.reset();
        try {
            run([&]() -> QCoro::Task<void> {
                card = co_await disks->service().openImage(image);
            }());
        } catch (const std::exception& error) {
            return ::testing::AssertionFailure() << "open: " << error.what();
        }
        if (!card || !spinUntil([&] { return mounts > before; }, 180s))
            return ::testing::AssertionFailure() << "no mount";
        if (state.vmStatus() != guest::VMStatus::running() || !state.selectedPartition())
            return ::testing::AssertionFailure()
                   << "VM: " << state.vmStatus().description.toStdString();
        browser.reset();
        browser.fileOpService = devices->fileOpService();
        browser.fileOpService->refuseChanges(state.changesRefused());
        browser.currentPartition = state.selectedPartition()->bsdName;
        run(browser.navigateTo("/"), 60s);
        if (browser.error())
            return ::testing::AssertionFailure() << "list: " << browser.error()->toStdString();
        return ::testing::AssertionSuccess();
    }

    std::optional<model::FileItem> item(const QString& name) const {
        for (const model::FileItem& file : browser.files())
            if (file.name == name)
                return file;
        return std::nullopt;
    }

    // Runs `task`; its error message, or nothing when it succeeded. `took` is how long it ran.
    template <typename T>
    std::optional<QString> outcome(QCoro::Task<T> task, std::chrono::milliseconds& took) {
        const auto start = std::chrono::steady_clock::now();
        std::optional<QString> failure;
        try {
            run(std::move(task), 3 * callLimit);
        } catch (const std::exception& error) {
            failure = QString::fromUtf8(error.what());
        }
        took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        return failure;
    }

    // Calls `pull` once, the first time the running transfer has moved some bytes.
    void pullDuringTransfer(std::function<void()> pull) {
        QObject::connect(&browser, &FileBrowserViewModel::transferChanged, &context,
                         [this, pull = std::move(pull), done = false]() mutable {
                             if (!done && browser.transferBytesDone() > 0) {
                                 done = true;
                                 pull();
                             }
                         });
    }

    AppState state;
    disk::PrivilegedHelperClient helperClient;
    HelperClientAccess helper{helperClient};
    guest::VMLifecycleService vmService;
    VMServiceControl vm{vmService};
    guest::VsockTransport transport;
    DetectionDiskSource* disks = nullptr;
    std::unique_ptr<DeviceListViewModel> devices;
    FileBrowserViewModel browser;
    QObject context;
    std::optional<model::Device> card;
    int mounts = 0;
};

class PulledCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        if (!vmImageAvailable())
            GTEST_SKIP() << "no VM image in the build tree";
        ASSERT_TRUE(work.isValid());
        QDir().mkpath(work.filePath("tree/many"));
        writeFile(work.filePath("tree/hello.txt"), "hello\n");
        writeFile(work.filePath("tree/big.bin"), big);
        for (int i = 0; i < 1500; ++i)
            writeFile(work.filePath(QStringLiteral("tree/many/entry-%1.txt").arg(i)), "x");
        ASSERT_TRUE(makeDiskImage(work.filePath("tree"), pristine, work.path()));
        ASSERT_TRUE(QFile::copy(pristine, image));
        QDir().mkpath(work.filePath("out"));
    }

    // The card put back as it was: the app mounts it and lists it again.
    void expectMountsAgain(App& app) {
        ASSERT_TRUE(spinUntil([&] { return !app.state.isBootingVM(); }, 60s));
        QFile::remove(image);
        ASSERT_TRUE(QFile::copy(pristine, image));
        ASSERT_TRUE(app.mount(image));
        EXPECT_TRUE(app.item("big.bin")) << "the card lists again";
        run(app.devices->ejectDevice(*app.card), 60s);
        EXPECT_TRUE(spinUntil([&] { return app.devices->devices().isEmpty(); }, 10s));
    }

    QTemporaryDir work;
    const QString pristine = work.filePath("pristine.img");
    const QString image = work.filePath("card.img");
    const QByteArray big = pattern(bigSize);
};

// Expects the export of big.bin into out/ to have failed with one clear message and left
// nothing there, or to have delivered exactly the card's bytes.
void expectWholeOrNothing(const std::optional<QString>& failure, const QString& folder,
                          const QByteArray& expected) {
    QFile exported(folder + "/big.bin");
    if (!failure) {
        ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
        EXPECT_TRUE(exported.readAll() == expected) << "an export reported done holds other bytes";
    } else {
        EXPECT_TRUE(isClear(*failure)) << failure->toStdString();
        EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList())
            << "a failed export left a file behind";
    }
}

// The file deleted is still whole behind QEMU's descriptor until the VM stops: the export
// either ends with the right bytes or fails cleanly when the VM goes.
TEST_F(PulledCardTest, ImageDeletedDuringAnExport) {
    App app;
    ASSERT_TRUE(app.mount(image));
    const auto file = app.item("big.bin");
    ASSERT_TRUE(file);
    app.pullDuringTransfer([&] { QFile::remove(image); });
    std::chrono::milliseconds took{};
    const auto failure = app.outcome(app.browser.exportItems({*file}, work.filePath("out")), took);
    expectWholeOrNothing(failure, work.filePath("out"), big);
    EXPECT_LT(took, callLimit);
    EXPECT_TRUE(spinUntil([&] { return app.devices->devices().isEmpty(); }, 30s));
    EXPECT_FALSE(app.state.selectedPartition());
    expectMountsAgain(app);
}

TEST_F(PulledCardTest, ImageCutShortDuringAnExport) {
    App app;
    ASSERT_TRUE(app.mount(image));
    const auto file = app.item("big.bin");
    ASSERT_TRUE(file);
    // The file's later blocks now read as zeros: the export must not pass them off as the file.
    app.pullDuringTransfer([&] { QFile::resize(image, 2 << 20); });
    std::chrono::milliseconds took{};
    const auto failure = app.outcome(app.browser.exportItems({*file}, work.filePath("out")), took);
    expectWholeOrNothing(failure, work.filePath("out"), big);
    EXPECT_LT(took, callLimit);
    ASSERT_TRUE(app.state.changesRefused());
    run(app.devices->ejectDevice(*app.card), 60s);
    EXPECT_TRUE(spinUntil([&] { return app.devices->devices().isEmpty(); }, 10s));
    expectMountsAgain(app);
}

TEST_F(PulledCardTest, ImageCutShortDuringAnUpload) {
    App app;
    ASSERT_TRUE(app.mount(image));
    writeFile(work.filePath("up.bin"), big);
    app.pullDuringTransfer([&] { QFile::resize(image, 2 << 20); });
    std::chrono::milliseconds took{};
    const auto failure = app.outcome(app.browser.uploadFiles({work.filePath("up.bin")}), took);
    ASSERT_TRUE(failure) << "an upload onto a card cut short was reported done";
    EXPECT_TRUE(isClear(*failure)) << failure->toStdString();
    EXPECT_LT(took, callLimit);
    ASSERT_TRUE(app.state.changesRefused());
    run(app.devices->ejectDevice(*app.card), 60s);
    EXPECT_TRUE(spinUntil([&] { return app.devices->devices().isEmpty(); }, 10s));
    expectMountsAgain(app);
}

TEST_F(PulledCardTest, ImageDeletedDuringAListing) {
    App app;
    ASSERT_TRUE(app.mount(image));
    // The listing is on its way when the card goes.
    QTimer::singleShot(0, [&] { QFile::remove(image); });
    std::chrono::milliseconds took{};
    const auto failure = app.outcome(app.browser.navigateTo("/many"), took);
    EXPECT_FALSE(failure) << "the browser shows errors, it does not throw them";
    EXPECT_LT(took, callLimit);
    if (app.browser.error()) {
        EXPECT_TRUE(isClear(*app.browser.error())) << app.browser.error()->toStdString();
        EXPECT_TRUE(app.browser.files().isEmpty());
    } else {
        EXPECT_EQ(app.browser.files().size(), 1500) << "a listing cut off half way";
    }
    EXPECT_TRUE(spinUntil([&] { return app.devices->devices().isEmpty(); }, 30s));
    expectMountsAgain(app);
}

}  // namespace
}  // namespace quorvale::app
