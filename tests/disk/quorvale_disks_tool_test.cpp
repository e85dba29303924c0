// quorvale-disks run as a person would run it, on disk images given as arguments.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>

#include "disk_test_support.h"

namespace quorvale::disk {
namespace {

QString tool() {
    QString build = qEnvironmentVariable("QUORVALE_BUILD_DIR");
    if (build.isEmpty())  // this executable lives in <build>/tests/disk
        build = QFileInfo("/proc/self/exe").symLinkTarget().section('/', 0, -4);
    return build + "/src/disk/tools/quorvale-disks";
}

TEST(QuorvaleDisksTool, PrintsImagePartitionsAndReportsBadPaths) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string image = dir.path().toStdString() + "/sd card.img";
    ASSERT_TRUE(test::shellSucceeds(
        "truncate -s 48M '" + image +
        "' && printf 'label: dos\\nstart=2048,size=40960,type=83\\n' | sfdisk -q '" + image +
        "' && mkfs.ext4 -q -F -L data -E offset=1048576 '" + image + "' 20M"));
    QProcess process;
    process.start(tool(), {QString::fromStdString(image), dir.path() + "/missing.img"});
    ASSERT_TRUE(process.waitForFinished(60000)) << process.errorString().toStdString();
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 1) << "a path that cannot be opened fails the run";
    EXPECT_TRUE(errors.contains("Cannot open disk image: " + dir.path() +
                                "/missing.img: No such file or directory"))
        << errors.toStdString();
    const QStringList lines = output.split('\n', Qt::SkipEmptyParts).filter("image");
    ASSERT_EQ(lines.size(), 2) << output.toStdString();
    EXPECT_TRUE(lines[0].startsWith("image0  \"sd card.img\"  50.3 MB (50331648 bytes)  unknown"))
        << lines[0].toStdString();
    EXPECT_EQ(lines[1].trimmed().toStdString(),
              "image0p1  label=\"data\"  21.0 MB (20971520 bytes)  ext4");
}

}  // namespace
}  // namespace quorvale::disk
