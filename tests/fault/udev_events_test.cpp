// The sidebar's model against a real udev daemon and real loop devices: devices appear, change
// and vanish as the kernel reports them, and neither a restarted daemon nor a burst of events
// loses anything. The test accepts its own loop devices past the removable filter (and no
// others). Needs root, loop devices and systemd-udevd; skipped where any is missing.
//
// The cards are whole-disk ext4 loop devices: the loop driver here makes no partitions
// (max_part=0, and --partscan finds none), so a change is seen in the card's label and size.
//
// The process runs in a mount namespace of its own with private /run and /dev/disk, so the
// daemon it starts is seen by nobody else on the machine (others share it). The daemon is
// stopped and every loop device detached in teardown, whatever happened.

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "app_test_support.h"
#include "disk/disk_detection_service.h"
#include "disk/helper_error.h"
#include "fake_services.h"
#include "guest/vsock_transport.h"

namespace quorvale::fault {
namespace {

using namespace std::chrono_literals;
using quorvale::testing::spinUntil;

const char* const udevd = "/lib/systemd/systemd-udevd";

// Before main, while the process has one thread (unshare needs that).
struct PrivateNamespace {
    PrivateNamespace() {
        if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0)
            return;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return;
        ready = ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0 &&
                (QDir().mkpath("/dev/disk") &&
                 ::mount("tmpfs", "/dev/disk", "tmpfs", 0, "mode=0755") == 0);
    }
    bool ready = false;
} privateNamespace;

int shell(const QString& command, QString* output = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("sh", {"-c", command});
    process.waitForFinished(60000);
    if (output)
        *output = QString::fromUtf8(process.readAll()).trimmed();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool otherUdevdRunning() {
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile comm("/proc/" + pid + "/comm");
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "systemd-udevd")
            return true;
    }
    return false;
}

// The daemon, a child that dies with the test process.
class Udevd {
public:
    bool start() {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(udevd, {});
        if (!process.waitForStarted(10000))
            return false;
        return spinUntil([] { return QFileInfo::exists("/run/udev/control"); }, 20s);
    }
    void stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
        QFile::remove("/run/udev/control");
    }
    ~Udevd() { stop(); }

private:
    QProcess process;
};

// Loop devices of this test; each is detached in the destructor.
class LoopDevices {
public:
    explicit LoopDevices(QString folder) : folder(std::move(folder)) {}
    ~LoopDevices() {
        for (const QString& node : attached)
            shell("losetup --detach " + node);
    }
    // A 48 MiB card, ext4 on the whole disk labelled `name`. Returns the device name, empty
    // when none is free.
    QString attach(const QString& name) {
        const QString image = folder + "/" + name + ".img";
        if (!QFileInfo::exists(image) &&
            shell("mkfs.ext4 -q -F -L " + name + " " + image + " 48M") != 0)
            return {};
        QString node;
        if (shell("losetup --find --show " + image, &node) != 0 || !node.startsWith("/dev/loop"))
            return {};
        attached << node;
        names << QFileInfo(node).fileName();
        return QFileInfo(node).fileName();
    }
    void detach(const QString& device) {
        shell("losetup --detach /dev/" + device);
        attached.removeAll("/dev/" + device);
    }
    // Names this test ever attached (a detached name may come back for another card).
    QSet<QString> names;

private:
    QString folder;
    QStringList attached;
};

class UdevEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0 || !QFileInfo::exists("/dev/loop-control"))
            GTEST_SKIP() << "needs root and loop devices";
        if (!QFileInfo::exists(udevd))
            GTEST_SKIP() << "systemd-udevd is not installed";
        ASSERT_TRUE(privateNamespace.ready) << "no private mount namespace";
        // The daemon of the test before may still be ending.
        for (int waited = 0; waited < 100 && otherUdevdRunning(); ++waited)
            QThread::msleep(100);
        if (otherUdevdRunning())
            GTEST_SKIP() << "another udev daemon runs here";
        quorvale::testing::ensureApplication();
        // The helper turns every card away: no mount starts, the list is all that is judged.
        helper.failure = disk::HelperError(disk::HelperError::Kind::connectionFailed);
        ASSERT_TRUE(daemon.start()) << "systemd-udevd did not start";
        ASSERT_TRUE(folder.isValid());
        loops = std::make_unique<LoopDevices>(folder.path());

        state.setScheduler([](auto, auto) {});
        model = startModel();
    }

    // The sidebar's model over a new disk source, as the app makes it at start.
    std::unique_ptr<app::DeviceListViewModel> startModel() {
        auto source = std::make_unique<app::DetectionDiskSource>(nullptr);
        LoopDevices* mine = loops.get();
        // Runs on the source's thread; the names are added before each attach returns, and a
        // late event of a device this test has not attached yet is not missed: the device is
        // reported again by the change that follows.
        source->service().setAlsoAccepted([mine, this](const disk::DiskDescription& d) {
            std::lock_guard lock(namesMutex);
            return mine->names.contains(
                d.string(disk::kDADiskDescriptionMediaBSDNameKey).value_or(QString()));
        });
        auto started = std::make_unique<app::DeviceListViewModel>(helper, vm, transport, &state,
                                                                  std::move(source));
        started->diskService().startMonitoring();
        return started;
    }
    void TearDown() override {
        model.reset();
        loops.reset();
        daemon.stop();
    }

    QString attach(const QString& name) {
        std::lock_guard lock(namesMutex);
        return loops->attach(name);
    }
    std::optional<model::Device> shown(const QString& name,
                                       const app::DeviceListViewModel* in = nullptr) {
        for (const model::Device& device : (in ? in : model.get())->devices()) {
            if (device.bsdName == name)
                return device;
        }
        return std::nullopt;
    }
    // Waits until the model shows `name` or shows it no more.
    bool waitShown(const QString& name, bool present = true) {
        return spinUntil([&] { return shown(name).has_value() == present; }, 30s);
    }

    Udevd daemon;
    QTemporaryDir folder;
    std::unique_ptr<LoopDevices> loops;
    std::mutex namesMutex;
    quorvale::testing::FakeHelper helper;
    quorvale::testing::FakeVM vm;
    guest::VsockTransport transport;
    app::AppState state;
    std::unique_ptr<app::DeviceListViewModel> model;
};

TEST_F(UdevEventsTest, DevicesAppearChangeAndVanish) {
    const QString name = attach("card");
    if (name.isEmpty())
        GTEST_SKIP() << "no loop device is free";
    ASSERT_TRUE(waitShown(name)) << name.toStdString() << " never appeared";
    auto device = *shown(name);
    EXPECT_EQ(device.size, 48ull << 20);
    EXPECT_EQ(device.name, "card") << "the card is named by its file system's label";

    // The card is relabelled: the daemon sees the write end, probes it again and reports it.
    ASSERT_EQ(shell("e2label /dev/" + name + " relabelled"), 0);
    EXPECT_TRUE(spinUntil(
        [&] {
            const auto now = shown(name);
            return now && now->name == "relabelled";
        },
        30s))
        << "the relabelled card still shows as it was";

    // The card grows: the device shows its new size and keeps its new label.
    ASSERT_EQ(shell("truncate -s 64M " + folder.path() +
                    "/card.img && losetup --set-capacity "
                    "/dev/" +
                    name),
              0);
    EXPECT_TRUE(spinUntil(
        [&] {
            const auto now = shown(name);
            return now && now->size == (64ull << 20) && now->name == "relabelled";
        },
        30s))
        << "the new size never showed";

    loops->detach(name);
    EXPECT_TRUE(waitShown(name, false)) << "the detached device is still listed";
}

TEST_F(UdevEventsTest, ARestartedDaemonLosesNothing) {
    const QString staying = attach("staying");
    const QString leaving = attach("leaving");
    if (staying.isEmpty() || leaving.isEmpty())
        GTEST_SKIP() << "no loop device is free";
    ASSERT_TRUE(waitShown(staying));
    ASSERT_TRUE(waitShown(leaving));

    // While the daemon is down, one card comes and another goes (in that order, so that the
    // new card cannot take the old one's name).
    daemon.stop();
    const QString arriving = attach("arriving");
    ASSERT_FALSE(arriving.isEmpty());
    ASSERT_NE(arriving, leaving);
    loops->detach(leaving);
    ASSERT_TRUE(daemon.start());
    EXPECT_TRUE(waitShown(arriving)) << "the card that came meanwhile never appeared";
    EXPECT_TRUE(waitShown(leaving, false)) << "the card that went meanwhile is still listed";
    EXPECT_TRUE(shown(staying));

    // And after the restart, events flow as before.
    loops->detach(staying);
    EXPECT_TRUE(waitShown(staying, false));
}

// The daemon keeps what it last probed of a device. While it is down, a card leaves and another
// takes its loop name: the kernel's events show the new card, and an app started after the
// daemon is back must not show it under the old card's label from the daemon's stale record.
TEST_F(UdevEventsTest, ACardOnAReusedNameIsShownAsItselfAfterARestart) {
    const QString first = attach("oldcard");
    if (first.isEmpty())
        GTEST_SKIP() << "no loop device is free";
    ASSERT_TRUE(waitShown(first));
    ASSERT_EQ(shown(first)->name, "oldcard");

    daemon.stop();
    loops->detach(first);
    const QString second = attach("newcard");
    if (second != first)
        GTEST_SKIP() << "another took the loop name meanwhile";
    const auto showsNewCard = [&](const app::DeviceListViewModel* in) {
        return spinUntil(
            [&] {
                const auto now = shown(second, in);
                return now && now->name == "newcard";
            },
            30s);
    };
    EXPECT_TRUE(showsNewCard(model.get())) << "the kernel's events never showed the new card";
    ASSERT_TRUE(daemon.start());

    // The app started again, with the daemon's record still of the old card.
    model.reset();
    const auto again = startModel();
    EXPECT_TRUE(showsNewCard(again.get()))
        << "shown as "
        << (shown(second, again.get()) ? shown(second, again.get())->name : "nothing")
               .toStdString();
}

TEST_F(UdevEventsTest, ABurstOfEventsLosesNothing) {
    QStringList cards;
    for (int i = 0; i < 3; ++i) {
        const QString name = attach(QString("burst%1").arg(i));
        if (name.isEmpty())
            GTEST_SKIP() << "no loop device is free";
        cards << name;
    }
    for (const QString& name : cards)
        ASSERT_TRUE(waitShown(name));

    // A hundred change events on the cards, and in the middle of them one card goes and a new
    // one comes.
    const auto changes = [](const QStringList& disks, int count) {
        QString script;
        for (int i = 0; i < count; ++i)
            script += "echo change > /sys/class/block/" + disks[i % disks.size()] + "/uevent; ";
        return script;
    };
    ASSERT_EQ(shell(changes(cards, 50)), 0);
    loops->detach(cards[0]);
    const QString late = attach("late");
    ASSERT_FALSE(late.isEmpty());
    ASSERT_EQ(shell(changes({cards[1], cards[2]}, 50)), 0);

    // The late card may take the detached one's name: its label tells them apart.
    EXPECT_TRUE(spinUntil(
        [&] {
            const auto device = shown(late);
            return device && device->name == "late";
        },
        30s))
        << "the card attached in the burst never appeared";
    if (late != cards[0]) {
        EXPECT_TRUE(waitShown(cards[0], false)) << "the card detached in the burst is listed";
    }
    for (int i : {1, 2}) {
        const auto device = shown(cards[i]);
        ASSERT_TRUE(device) << cards[i].toStdString() << " vanished in the burst";
        EXPECT_EQ(device->name, QString("burst%1").arg(i));
        EXPECT_EQ(device->size, 48ull << 20);
    }
    // Nothing but this test's cards entered the model.
    for (const model::Device& device : model->devices())
        EXPECT_TRUE(loops->names.contains(device.bsdName)) << device.bsdName.toStdString();
}

}  // namespace
}  // namespace quorvale::fault
