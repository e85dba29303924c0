// Resource lookup: "vm" subdirectory first, then the top; which resources directory applies.

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "guest/vm_error.h"
#include "guest/vm_resources.h"
#include "qstring_printer.h"

namespace quorvale::guest {
namespace {

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

TEST(VMResources, SubdirectoryFirstThenTop) {
    QTemporaryDir dir;
    VMResources resources(dir.path());
    EXPECT_FALSE(resources.kernel());
    EXPECT_FALSE(resources.initramfs());

    touch(dir.filePath("vmlinuz"));
    EXPECT_EQ(resources.kernel(), dir.filePath("vmlinuz"));
    touch(dir.filePath("vm/vmlinuz"));
    EXPECT_EQ(resources.kernel(), dir.filePath("vm/vmlinuz"));

    touch(dir.filePath("initramfs.img"));
    EXPECT_EQ(resources.initramfs(), dir.filePath("initramfs.img"));
    // A directory of that name is not the resource.
    QDir().mkpath(dir.filePath("vm/initramfs.img"));
    EXPECT_EQ(resources.initramfs(), dir.filePath("initramfs.img"));
}

TEST(VMResources, LocatesOverrideBuildTreeAndInstallPrefix) {
    const QByteArray saved = qgetenv(VMResources::overrideVariable);
    qunsetenv(VMResources::overrideVariable);

    const QString build = qEnvironmentVariable("QUORVALE_BUILD_DIR");
    EXPECT_EQ(VMResources::locate(build + "/tests/vm"),
              QDir(build).canonicalPath() + "/share/quorvale");

    QTemporaryDir prefix;
    QDir().mkpath(prefix.filePath("bin"));
    QDir().mkpath(prefix.filePath("share/quorvale/vm"));
    EXPECT_EQ(VMResources::locate(prefix.filePath("bin")),
              QDir::cleanPath(prefix.filePath("share/quorvale")));

    qputenv(VMResources::overrideVariable, "/somewhere/else");
    EXPECT_EQ(VMResources::locate(prefix.filePath("bin")), "/somewhere/else");
    if (saved.isNull())
        qunsetenv(VMResources::overrideVariable);
    else
        qputenv(VMResources::overrideVariable, saved);
}

}  // namespace
}  // namespace quorvale::guest
