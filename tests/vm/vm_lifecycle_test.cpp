// VMLifecycleService on real QEMU with the real guest image: boot, readiness, stop (honoured and
// forced), QEMU dying, disk attachment and resource failures.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <optional>
#include <vector>

#include "guest/qemu_launcher.h"
#include "vm_test_support.h"

namespace quorvale::guest {
namespace {

using namespace testing;
using namespace std::chrono_literals;

// Waits (running the event loop) until `predicate` holds or `timeout` passes.
template <typename Predicate>
bool waitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate() && std::chrono::steady_clock::now() < end)
        run(QCoro::sleepFor(20ms));
    return predicate();
}

// A resources directory holding the real kernel and `initramfs` (bytes) or none.
struct Resources {
    QTemporaryDir dir;
    explicit Resources(std::optional<QByteArray> initramfs) {
        QDir().mkpath(dir.filePath("vm"));
        QFile::link(buildResources() + "/vm/vmlinuz", dir.filePath("vm/vmlinuz"));
        if (initramfs) {
            QFile file(dir.filePath("vm/initramfs.img"));
            file.open(QIODevice::WriteOnly);
            file.write(*initramfs);
        }
    }
};

struct ArchiveEntry {
    QByteArray name;
    unsigned mode;
    QByteArray data;
};

// A newc archive (what the kernel unpacks as its initramfs) of `entries`.
QByteArray newcArchive(std::vector<ArchiveEntry> entries) {
    entries.push_back({"TRAILER!!!", 0, {}});
    QByteArray archive;
    const auto pad = [&] {
        while (archive.size() % 4)
            archive += '\0';
    };
    for (const ArchiveEntry& entry : entries) {
        const unsigned fields[] = {0,
                                   entry.mode,
                                   0,
                                   0,
                                   1,
                                   0,
                                   static_cast<unsigned>(entry.data.size()),
                                   0,
                                   0,
                                   0,
                                   0,
                                   static_cast<unsigned>(entry.name.size() + 1),
                                   0};
        archive += "070701";
        for (unsigned field : fields)
            archive += QByteArray::number(field, 16).rightJustified(8, '0');
        archive += entry.name + '\0';
        pad();
        archive += entry.data;
        pad();
    }
    while (archive.size() % 512)
        archive += '\0';
    return archive;
}

// Only /dev: the kernel finds no init and panics.
QByteArray initlessArchive() {
    return newcArchive({{"dev", 040755, {}}});
}

// An init that stays up and ignores the power button: a guest that never stops by itself.
std::optional<QByteArray> idleArchive() {
#ifdef QUORVALE_IDLE_INIT
    QFile init(QStringLiteral(QUORVALE_IDLE_INIT));
    if (init.open(QIODevice::ReadOnly))
        return newcArchive({{"dev", 040755, {}}, {"init", 0100755, init.readAll()}});
#endif
    return std::nullopt;
}

TEST(VMLifecycle, BootsWithoutDisksAnswersAndStopsWhenAsked) {
    LogCapture log;
    VMLifecycleService service{VMResources(buildResources())};
    EXPECT_TRUE(service.consoleLogPath().isEmpty()) << "no console log before the first boot";
    QSignalSpy changes(&service, &VMLifecycleService::statusChanged);
    run(service.bootVM({}));
    EXPECT_EQ(service.status(), VMStatus::running());
    EXPECT_EQ(changes.count(), 2);  // booting, running
    EXPECT_TRUE(log.contains("Booting VM with 0 disk(s)"));
    // The console log is in a directory of this instance that no one else may enter.
    const QString consoleLog = service.consoleLogPath();
    EXPECT_TRUE(log.contains("VM serial console logging to: " + consoleLog));
    EXPECT_TRUE(log.contains("VM booted successfully"));
    struct stat directory {};
    ASSERT_EQ(
        ::stat(QFile::encodeName(QFileInfo(consoleLog).absolutePath()).constData(), &directory), 0);
    EXPECT_EQ(directory.st_mode & 0777, 0700u);
    EXPECT_EQ(directory.st_uid, ::getuid());
    QFile console(consoleLog);
    ASSERT_TRUE(console.open(QIODevice::ReadOnly));

    UniqueFd stream = waitForAgent(service);
    ASSERT_TRUE(stream.valid()) << "the agent never answered ping";

    // Every device of the command line has its driver in the guest, and ext2/3/4 mount.
    console.seek(0);
    const QString devices = QString::fromUtf8(console.readAll())
                                .split('\n')
                                .filter(QStringLiteral("devices:"))
                                .value(0);
    for (const char* expected :
         {"virtio_console=1", "virtio_blk=0", "virtio_balloon=1", "virtio_rng=1", "pvpanic=1",
          "button=1", " ext2", " ext3", " ext4"})
        EXPECT_TRUE(devices.contains(QLatin1String(expected)))
            << expected << " in " << devices.toStdString();
    EXPECT_FALSE(devices.contains(QLatin1String("vsock=-"))) << devices.toStdString();

    // A second boot while running changes nothing.
    run(service.bootVM({}));
    EXPECT_TRUE(log.contains("VM already running"));
    EXPECT_EQ(service.status(), VMStatus::running());

    // A new connection replaces the old one: the old stream ends, the new one answers.
    UniqueFd second = run(service.connectVsock(5000));
    EXPECT_TRUE(ping(second.get(), 10s));
    char byte;
    EXPECT_EQ(::read(stream.get(), &byte, 1), 0);

    run(service.stopVM());
    EXPECT_EQ(service.status(), VMStatus::stopped());
    EXPECT_FALSE(service.lastStopWasForced());
    EXPECT_TRUE(log.contains("Stopping VM"));
    EXPECT_TRUE(log.contains("VM stopped"));
    EXPECT_FALSE(log.lines().filter("VM stop error").size());
    EXPECT_EQ(service.virtualMachine(), nullptr);

    try {
        run(service.connectVsock(5000));
        ADD_FAILURE() << "connectVsock succeeded after stop";
    } catch (const VMError& error) {
        EXPECT_EQ(error.kind, VMError::Kind::vmNotRunning);
        EXPECT_STREQ(error.what(), "Virtual machine is not running");
    }
    // Stopping again with no VM does nothing and logs nothing.
    const auto before = log.lines().size();
    run(service.stopVM());
    EXPECT_EQ(log.lines().size(), before);
}

TEST(VMLifecycle, GuestIgnoringTheStopRequestIsForcedOff) {
    const auto archive = idleArchive();
    if (!archive)
        GTEST_SKIP() << "no static idle init in this build";
    Resources resources(*archive);
    VMLifecycleService service(VMResources(resources.dir.path()));
    run(service.bootVM({}));
    ASSERT_EQ(service.status(), VMStatus::running());
    const qint64 pid = service.virtualMachine()->processId();
    run(service.stopVM());
    EXPECT_TRUE(service.lastStopWasForced());
    EXPECT_EQ(service.status(), VMStatus::stopped());
    EXPECT_NE(::kill(static_cast<pid_t>(pid), 0), 0) << "QEMU still runs";
}

TEST(VMLifecycle, QemuDyingSetsTheErrorStatus) {
    const auto archive = idleArchive();
    if (!archive)
        GTEST_SKIP() << "no static idle init in this build";
    LogCapture log;
    Resources resources(*archive);
    VMLifecycleService service(VMResources(resources.dir.path()));
    run(service.bootVM({}));
    ASSERT_EQ(service.status(), VMStatus::running());
    ::kill(static_cast<pid_t>(service.virtualMachine()->processId()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return service.status().isError(); }, 5s));
    EXPECT_EQ(service.status().description, "QEMU terminated unexpectedly");
    EXPECT_TRUE(log.contains("VM stopped with error: QEMU terminated unexpectedly"));
    EXPECT_EQ(service.virtualMachine(), nullptr);
    try {
        run(service.connectVsock(5000));
        ADD_FAILURE() << "connectVsock succeeded without a VM";
    } catch (const VMError& error) {
        EXPECT_EQ(error.kind, VMError::Kind::vmNotRunning);
    }
}

// Whether a newc archive holds entries under lib/modules/. The path alone is not enough:
// binaries such as e2fsck name it in their own data. An entry's name follows its 110-byte
// header, which starts with the magic "070701".
bool hasModuleEntries(const QByteArray& archive) {
    constexpr qsizetype header = 110;
    for (auto at = archive.indexOf("lib/modules/"); at >= 0;
         at = archive.indexOf("lib/modules/", at + 1)) {
        if (at >= header && archive.mid(at - header, 6) == "070701")
            return true;
    }
    return false;
}

TEST(VMLifecycle, GuestKernelPanicIsAnError) {
    QFile shipped(buildResources() + "/vm/initramfs.img");
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    if (hasModuleEntries(shipped.readAll()))
        GTEST_SKIP() << "this kernel has pvpanic as a module, loaded by the agent only";
    LogCapture log;
    Resources resources(initlessArchive());
    VMLifecycleService service(VMResources(resources.dir.path()));
    run(service.bootVM({}));
    ASSERT_TRUE(waitUntil([&] { return service.status().isError(); }, 60s))
        << "the panic was not reported";
    EXPECT_EQ(service.status().description, "Guest kernel panic");
    EXPECT_TRUE(log.contains("VM stopped with error: Guest kernel panic"));
    EXPECT_EQ(service.virtualMachine(), nullptr);
}

TEST(VMLifecycle, MissingResourcesFailWithNothingStarted) {
    LogCapture log;
    Resources noInitramfs(std::nullopt);
    VMLifecycleService service(VMResources(noInitramfs.dir.path()));
    try {
        run(service.bootVM({}));
        ADD_FAILURE() << "boot without initramfs succeeded";
    } catch (const VMError& error) {
        EXPECT_EQ(error.kind, VMError::Kind::initramfsNotFound);
    }
    EXPECT_EQ(service.status(), VMStatus::error("Initramfs not found in app bundle"));
    EXPECT_TRUE(log.contains("VM boot failed: Initramfs not found in app bundle"));
    EXPECT_EQ(service.virtualMachine(), nullptr);

    QTemporaryDir empty;
    VMLifecycleService noKernel(VMResources(empty.path()));
    EXPECT_THROW(run(noKernel.bootVM({})), VMError);
    EXPECT_EQ(noKernel.status(), VMStatus::error("Linux kernel not found in app bundle"));
    EXPECT_EQ(noKernel.virtualMachine(), nullptr);
}

TEST(VMLifecycle, UnusableDiskFdsFailTheAttachment) {
    LogCapture log;
    QTemporaryDir dir;
    VMLifecycleService service{VMResources(buildResources())};

    // A directory is no disk.
    std::vector<VMDisk> disks;
    disks.push_back(
        {"image0", UniqueFd(::open(dir.path().toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC))});
    try {
        run(service.bootVM(std::move(disks)));
        ADD_FAILURE() << "a directory was attached";
    } catch (const VMError& error) {
        EXPECT_EQ(error.kind, VMError::Kind::diskAttachmentFailed);
        EXPECT_STREQ(error.what(), "Disk attachment failed: Block device required");
    }
    EXPECT_EQ(service.status(), VMStatus::error("Disk attachment failed: Block device required"));
    EXPECT_TRUE(log.contains("Failed to create disk attachment: Block device required"));

    // A write-only fd passes our checks but QEMU cannot read through it.
    const QString image = dir.filePath("disk.img");
    ASSERT_EQ(shell("truncate -s 8M '" + image.toStdString() + "'"), 0);
    disks.clear();
    disks.push_back(
        {"image0", UniqueFd(::open(image.toLocal8Bit().constData(), O_WRONLY | O_CLOEXEC))});
    try {
        run(service.bootVM(std::move(disks)));
        ADD_FAILURE() << "a write-only fd was attached";
    } catch (const VMError& error) {
        EXPECT_EQ(error.kind, VMError::Kind::diskAttachmentFailed);
        EXPECT_TRUE(QString(error.what()).startsWith("Disk attachment failed: ")) << error.what();
    }
    EXPECT_TRUE(service.status().isError());
}

TEST(VMLifecycle, MissingQemuIsNamed) {
    QTemporaryDir emptyPath;
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", emptyPath.path().toLocal8Bit());
    VMLifecycleService service{VMResources(buildResources())};
    try {
        run(service.bootVM({}));
        ADD_FAILURE() << "booted without QEMU";
    } catch (const QemuError& error) {
        EXPECT_EQ(error.kind, QemuError::Kind::notFound);
        EXPECT_TRUE(QString(error.what()).contains(QemuConfig::systemEmulator())) << error.what();
    }
    qputenv("PATH", savedPath);
    EXPECT_TRUE(service.status().description.contains(QemuConfig::systemEmulator()));
}

}  // namespace
}  // namespace quorvale::guest
