// The QEMU command line: VM shape, hardening, disks in order with their names and access, the
// slots disks are plugged into, and both ways of reaching the agent.

#include <gtest/gtest.h>

#include <QJsonDocument>

#include "guest/host_virtualization.h"
#include "guest/qemu_command.h"
#include "qstring_printer.h"

namespace quorvale::guest {
namespace {

QemuConfig baseConfig() {
    QemuConfig config;
    config.machine = "q35";
    config.kernel = "/res/vm/vmlinuz";
    config.initramfs = "/res/vm/initramfs.img";
    config.consoleLog = "/tmp/quorvale-vm-console.log";
    config.qmpSocket = "/run/q/qmp.sock";
    config.agentSocket = "/run/q/agent-5000.sock";
    return config;
}

// The value following `option` at its `nth` occurrence; empty when absent.
QString valueOf(const QStringList& args, const QString& option, int nth = 0) {
    for (int i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option && nth-- == 0)
            return args[i + 1];
    return {};
}

QStringList valuesOf(const QStringList& args, const QString& option) {
    QStringList values;
    for (int i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option)
            values << args[i + 1];
    return values;
}

TEST(QemuCommand, FixedShapeAndHardening) {
    const QStringList args = qemuArguments(baseConfig());
    EXPECT_EQ(valueOf(args, "-smp"), "1");
    EXPECT_EQ(valueOf(args, "-m"), "256M");
    EXPECT_EQ(valueOf(args, "-kernel"), "/res/vm/vmlinuz");
    EXPECT_EQ(valueOf(args, "-initrd"), "/res/vm/initramfs.img");
    EXPECT_EQ(valueOf(args, "-accel"), "tcg");
    EXPECT_TRUE(args.contains("-nodefaults"));
    EXPECT_EQ(valueOf(args, "-nic"), "none");
    EXPECT_TRUE(valueOf(args, "-sandbox").startsWith("on"));
    EXPECT_TRUE(valuesOf(args, "-action").contains("panic=exit-failure"));

    const QStringList devices = valuesOf(args, "-device");
    auto count = [&](const QString& prefix) {
        return std::count_if(devices.begin(), devices.end(),
                             [&](const QString& d) { return d.startsWith(prefix); });
    };
    EXPECT_EQ(count("virtconsole,id=console0,chardev=console"), 1);
    EXPECT_EQ(count("virtio-rng"), 1);
    EXPECT_EQ(count("virtio-balloon"), 1);
    EXPECT_EQ(count("pvpanic"), 1);
    EXPECT_EQ(count("virtio-blk"), 0);
    EXPECT_TRUE(
        valuesOf(args, "-chardev").contains("file,id=console,path=/tmp/quorvale-vm-console.log"));
    EXPECT_EQ(valueOf(args, "-qmp"), "unix:/run/q/qmp.sock,server=on,wait=off");
}

TEST(QemuCommand, KernelCommandLinePerAcceleratorUnlessGiven) {
    using Accel = QemuConfig::Accel;
    const QString fixed = QStringLiteral("console=hvc0 quiet random.trust_cpu=on");
    for (const Accel accel : {Accel::tcg, Accel::kvm}) {
        QemuConfig config = baseConfig();
        config.accel = accel;
        const QStringList lines = valuesOf(qemuArguments(config), "-append");
        ASSERT_EQ(lines.size(), 1);
        // Whatever shortens the boot goes after the console, quiet and entropy settings.
        EXPECT_TRUE(lines[0].startsWith(fixed + ' ')) << lines[0].toStdString();
        const QStringList words = lines[0].split(' ');
        EXPECT_TRUE(words.contains("no_timer_check")) << lines[0].toStdString();
        // The local APIC timer only goes where its calibration is a busy wait.
        EXPECT_EQ(words.contains("noapictimer"), accel == Accel::tcg) << lines[0].toStdString();
    }
    QemuConfig config = baseConfig();
    config.kernelCommandLine = fixed + " initcall_debug";
    EXPECT_EQ(valuesOf(qemuArguments(config), "-append"), QStringList{fixed + " initcall_debug"});
}

TEST(QemuCommand, KvmWhenChosen) {
    QemuConfig config = baseConfig();
    config.accel = QemuConfig::Accel::kvm;
    const QStringList args = qemuArguments(config);
    EXPECT_EQ(valueOf(args, "-accel"), "kvm");
    EXPECT_EQ(valueOf(args, "-cpu"), "host");
}

TEST(QemuCommand, KvmWhereUsableUnlessEmulationIsAsked) {
    using Accel = QemuConfig::Accel;
    const struct {
        bool kvmUsable;
        const char* requested;
        Accel expected;
    } cases[] = {
        {true, "", Accel::kvm},     {true, "kvm", Accel::kvm}, {true, "tcg", Accel::tcg},
        {true, "TCG", Accel::tcg},  {false, "", Accel::tcg},   {false, "kvm", Accel::tcg},
        {false, "tcg", Accel::tcg},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chooseAccelerator(c.kvmUsable, c.requested), c.expected)
            << c.kvmUsable << " " << c.requested;
}

#if defined(__x86_64__) || defined(__i386__)
// A cloud VM can offer /dev/kvm through a paravirtual backend without VT-x or AMD-V; QEMU then
// aborts at start-up, so only a processor with either counts.
TEST(QemuCommand, KvmNeedsVtxOrAmdVOnX86) {
    const struct {
        const char* cpuinfo;
        bool expected;
    } cases[] = {
        {"processor\t: 0\nflags\t\t: fpu vme de pse vmx sse2\n", true},
        {"processor\t: 0\nflags\t\t: fpu svm lm\nprocessor\t: 1\nflags\t\t: fpu svm lm\n", true},
        {"model name\t: AMD EPYC\nflags\t\t: fpu vme hypervisor lm\n", false},
        {"flags\t\t: fpu vmxe svmx\n", false},  // whole flags only
        {"vmx flags\t: ept vpid\nflags\t\t: fpu\n", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hardwareVirtualization(c.cpuinfo), c.expected) << c.cpuinfo;
}
#endif

TEST(QemuCommand, OneRawDiskPerFdInOrderNamedByItsHostNameInItsOwnSlot) {
    QemuConfig config = baseConfig();
    config.disks = {{7, QemuConfig::Access::readWrite, QemuConfig::Medium::blockDevice, "sdb"},
                    {9, QemuConfig::Access::readOnly, QemuConfig::Medium::imageFile, "image0"}};
    const QStringList args = qemuArguments(config);
    EXPECT_EQ(valuesOf(args, "-add-fd"), QStringList({"fd=7,set=0", "fd=9,set=1"}));
    const QStringList nodes = valuesOf(args, "-blockdev");
    ASSERT_EQ(nodes.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject node = QJsonDocument::fromJson(nodes[i].toUtf8()).object();
        EXPECT_EQ(node, blockdevOptions(config.disks[i], QStringLiteral("/dev/fdset/%1").arg(i)));
    }
    const QStringList blocks = valuesOf(args, "-device").filter("virtio-blk");
    EXPECT_EQ(blocks, (QStringList{"virtio-blk-pci,id=blk-sdb,drive=disk-sdb,serial=sdb,bus=slot0,"
                                   "write-cache=on,werror=report,rerror=report",
                                   "virtio-blk-pci,id=blk-image0,drive=disk-image0,serial=image0,"
                                   "bus=slot1,write-cache=on,werror=report,rerror=report"}));
    // Every slot is a hot-pluggable root port, whether a disk sits in it at boot or not.
    const QStringList ports = valuesOf(args, "-device").filter("pcie-root-port");
    ASSERT_EQ(ports.size(), QemuConfig::diskSlots);
    EXPECT_EQ(ports[0], "pcie-root-port,id=slot0,chassis=1,io-reserve=0");
    EXPECT_EQ(ports[3], "pcie-root-port,id=slot3,chassis=4,io-reserve=0");
}

TEST(QemuCommand, BlockNodesPinRawAndKeepCardsPastThePageCache) {
    const struct {
        QemuConfig::Access access;
        QemuConfig::Medium medium;
        const char* driver;
        bool direct;
        bool readOnly;
    } cases[] = {
        {QemuConfig::Access::readWrite, QemuConfig::Medium::blockDevice, "host_device", true,
         false},
        {QemuConfig::Access::readOnly, QemuConfig::Medium::blockDevice, "host_device", true, true},
        {QemuConfig::Access::readWrite, QemuConfig::Medium::imageFile, "file", false, false},
        {QemuConfig::Access::readOnly, QemuConfig::Medium::imageFile, "file", false, true},
    };
    for (const auto& c : cases) {
        const QemuConfig::Disk disk{3, c.access, c.medium, "mmcblk0"};
        const QJsonObject node = blockdevOptions(disk, "/dev/fdset/4");
        const QJsonObject file = node.value("file").toObject();
        EXPECT_EQ(node.value("driver"), "raw");
        EXPECT_EQ(node.value("node-name"), "disk-mmcblk0");
        EXPECT_EQ(node.value("read-only").toBool(), c.readOnly);
        EXPECT_EQ(file.value("read-only").toBool(), c.readOnly);
        EXPECT_EQ(file.value("auto-read-only").toBool(true), false);
        EXPECT_EQ(file.value("driver"), c.driver);
        EXPECT_EQ(file.value("filename"), "/dev/fdset/4");
        EXPECT_EQ(file.value("cache").toObject().value("direct").toBool(), c.direct);
        EXPECT_EQ(file.value("cache").toObject().value("no-flush").toBool(true), false);
    }
    const QJsonObject device = diskDeviceOptions(
        {3, QemuConfig::Access::readWrite, QemuConfig::Medium::blockDevice, "nvme0n1"}, 5);
    EXPECT_EQ(device, (QJsonObject{{"driver", "virtio-blk-pci"},
                                   {"id", "blk-nvme0n1"},
                                   {"drive", "disk-nvme0n1"},
                                   {"serial", "nvme0n1"},
                                   {"bus", "slot5"},
                                   {"write-cache", "on"},
                                   {"werror", "report"},
                                   {"rerror", "report"}}));
}

TEST(QemuCommand, AStagedDiskIsAReadOnlyBackingBelowAQcow2OverlayTheDeviceWritesTo) {
    QemuConfig config = baseConfig();
    QemuConfig::Disk staged{7, QemuConfig::Access::readOnly, QemuConfig::Medium::blockDevice,
                            "sdb"};
    staged.overlayFd = 8;
    config.disks = {{5, QemuConfig::Access::readWrite, QemuConfig::Medium::imageFile, "image0"},
                    staged};
    const QStringList args = qemuArguments(config);
    EXPECT_EQ(valuesOf(args, "-add-fd"),
              QStringList({"fd=5,set=0", "fd=7,set=1",
                           QStringLiteral("fd=8,set=%1").arg(QemuConfig::overlayFdset(1))}));
    const QStringList nodes = valuesOf(args, "-blockdev");
    ASSERT_EQ(nodes.size(), 3);
    // The card's node comes before the overlay that names it as its backing.
    const QJsonObject card = QJsonDocument::fromJson(nodes[1].toUtf8()).object();
    const QJsonObject overlay = QJsonDocument::fromJson(nodes[2].toUtf8()).object();
    EXPECT_EQ(card.value("node-name"), "card-sdb");
    EXPECT_EQ(card.value("driver"), "raw");
    EXPECT_TRUE(card.value("read-only").toBool());
    EXPECT_TRUE(card.value("file").toObject().value("read-only").toBool());
    EXPECT_EQ(card.value("file").toObject().value("node-name"), "card-file-sdb");
    EXPECT_EQ(card.value("file").toObject().value("filename"), "/dev/fdset/1");
    EXPECT_EQ(card.value("file").toObject().value("locking"), "off");
    EXPECT_EQ(overlay.value("driver"), "qcow2");
    EXPECT_EQ(overlay.value("node-name"), "disk-sdb");
    EXPECT_FALSE(overlay.value("read-only").toBool(true));
    EXPECT_EQ(overlay.value("backing"), "card-sdb");
    EXPECT_EQ(overlay.value("file").toObject().value("filename"),
              QStringLiteral("/dev/fdset/%1").arg(QemuConfig::overlayFdset(1)));
    // The device is on the overlay, as an unstaged disk is on its own node.
    const QStringList device = valuesOf(args, "-device").filter("blk-sdb");
    ASSERT_EQ(device.size(), 1);
    EXPECT_TRUE(
        device[0].startsWith("virtio-blk-pci,id=blk-sdb,drive=disk-sdb,serial=sdb,bus=slot1,"))
        << device[0].toStdString();

    // For the commit the same card node reopens writable, and nothing else of it changes.
    const QJsonObject writable = writableCardOptions(staged, "/dev/fdset/1");
    QJsonObject expected = card;
    QJsonObject file = expected.value("file").toObject();
    file.insert("read-only", false);
    expected.insert("file", file);
    expected.insert("read-only", false);
    EXPECT_EQ(writable, expected);
}

TEST(QemuCommand, AgentOverVirtioSerialOrVsock) {
    QemuConfig config = baseConfig();
    QStringList args = qemuArguments(config);
    EXPECT_TRUE(valuesOf(args, "-chardev")
                    .contains("socket,id=agent,path=/run/q/agent-5000.sock,server=on,wait=off"));
    EXPECT_EQ(valuesOf(args, "-device").filter("name=org.quorvale.agent.5000").size(), 1);
    EXPECT_TRUE(valuesOf(args, "-device").filter("vhost-vsock").isEmpty());

    config.vsockCid = 42;
    args = qemuArguments(config);
    EXPECT_EQ(valuesOf(args, "-device").filter("vhost-vsock").value(0),
              QemuConfig::systemEmulator().endsWith("aarch64") ? "vhost-vsock-pci,guest-cid=42"
                                                               : "vhost-vsock-pci,guest-cid=42");
    EXPECT_TRUE(valuesOf(args, "-device").filter("org.quorvale.agent").isEmpty());
}

TEST(QemuCommand, CommasInPathsAreEscaped) {
    QemuConfig config = baseConfig();
    config.consoleLog = "/tmp/a,b/console.log";
    config.qmpSocket = "/run/x,y/qmp.sock";
    const QStringList args = qemuArguments(config);
    EXPECT_TRUE(valuesOf(args, "-chardev").contains("file,id=console,path=/tmp/a,,b/console.log"));
    EXPECT_EQ(valueOf(args, "-qmp"), "unix:/run/x,,y/qmp.sock,server=on,wait=off");
}

TEST(QemuCommand, TheChannelSecretTravelsOnlyAsAFile) {
    QemuConfig config = baseConfig();
    EXPECT_FALSE(qemuArguments(config).contains("-fw_cfg"));
    config.channelSecretFile = "/run/q,x/channel-secret";
    const QStringList args = qemuArguments(config);
    EXPECT_EQ(valueOf(args, "-fw_cfg"),
              "name=opt/org.quorvale/channel-secret,file=/run/q,,x/channel-secret");
    EXPECT_EQ(valuesOf(args, "-fw_cfg").size(), 1);
}

}  // namespace
}  // namespace quorvale::guest
