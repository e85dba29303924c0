// The QEMU command line: VM shape, hardening, disks in order with their access, and both ways
// of reaching the agent.

#include <gtest/gtest.h>

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
    EXPECT_EQ(valueOf(args, "-append"), "console=hvc0 quiet random.trust_cpu=on");
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

TEST(QemuCommand, KvmWhenChosen) {
    QemuConfig config = baseConfig();
    config.accel = QemuConfig::Accel::kvm;
    const QStringList args = qemuArguments(config);
    EXPECT_EQ(valueOf(args, "-accel"), "kvm");
    EXPECT_EQ(valueOf(args, "-cpu"), "host");
}

TEST(QemuCommand, OneRawDiskPerFdInOrderKeepingReadOnly) {
    QemuConfig config = baseConfig();
    config.disks = {{7, QemuConfig::Access::readWrite, QemuConfig::Medium::blockDevice},
                    {9, QemuConfig::Access::readOnly, QemuConfig::Medium::imageFile}};
    const QStringList args = qemuArguments(config);
    EXPECT_EQ(valuesOf(args, "-add-fd"), QStringList({"fd=7,set=0", "fd=9,set=1"}));
    const QStringList drives = valuesOf(args, "-drive");
    ASSERT_EQ(drives.size(), 2);
    EXPECT_TRUE(drives[0].startsWith("file=/dev/fdset/0,if=none,id=disk0,format=raw,readonly=off"));
    EXPECT_TRUE(drives[1].startsWith("file=/dev/fdset/1,if=none,id=disk1,format=raw,readonly=on"));
    // A card is a host device written past the host's page cache; an image file keeps it.
    EXPECT_TRUE(drives[0].contains(",file.driver=host_device,cache=none,"));
    EXPECT_TRUE(drives[1].contains(",file.driver=file,cache=writeback,"));
    const QStringList blocks = valuesOf(args, "-device").filter("virtio-blk");
    ASSERT_EQ(blocks.size(), 2);
    EXPECT_TRUE(blocks[0].endsWith("drive=disk0"));
    EXPECT_TRUE(blocks[1].endsWith("drive=disk1"));
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

}  // namespace
}  // namespace quorvale::guest
