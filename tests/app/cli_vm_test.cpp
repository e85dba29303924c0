// quorvale-cli on a disk image through the real VM: each command boots the VM, acts, and shuts
// it down; failures give one line and a non-zero status.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "disk_image.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;

struct CliResult {
    int status = -1;
    QString out;
    QString err;
};

CliResult cli(const QStringList& args) {
    QProcess process;
    process.start(qEnvironmentVariable("QUORVALE_BUILD_DIR") + "/bin/quorvale-cli",
                  QStringList{"--ready-timeout", "120"} + args);
    process.waitForStarted(10000);
    process.closeWriteChannel();
    process.waitForFinished(300000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

TEST(CliTest, UsageAndUnknownSourcesFailWithOneLine) {
    EXPECT_EQ(cli({"ls"}).status, 2);
    EXPECT_EQ(cli({"frobnicate", "x", "y"}).status, 2);
    const CliResult missing = cli({"ls", "/nonexistent/card.img", "/"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err.count('\n'), 1) << missing.err.toStdString();
    EXPECT_TRUE(missing.err.startsWith("quorvale-cli: ")) << missing.err.toStdString();
}

TEST(CliTest, EveryCommandOnADiskImage) {
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir work;
    QDir().mkpath(work.filePath("tree/docs"));
    writeFile(work.filePath("tree/hello.txt"), "hello\n");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("tree"), image, work.path()));

    CliResult ls = cli({"ls", image, "/"});
    ASSERT_EQ(ls.status, 0) << ls.err.toStdString();
    EXPECT_TRUE(ls.out.contains("hello.txt")) << ls.out.toStdString();
    EXPECT_TRUE(ls.out.contains("docs/"));

    QByteArray payload(3 * 1024 * 1024 + 17, 'p');
    writeFile(work.filePath("up.bin"), payload);
    const CliResult put = cli({"put", image + ":1", work.filePath("up.bin"), "/docs/"});
    ASSERT_EQ(put.status, 0) << put.err.toStdString();
    EXPECT_TRUE(put.err.contains("100%")) << put.err.toStdString();  // the progress bar

    const CliResult get = cli({"get", image, "/docs/up.bin", work.filePath("back.bin")});
    ASSERT_EQ(get.status, 0) << get.err.toStdString();
    QFile back(work.filePath("back.bin"));
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    EXPECT_EQ(back.readAll(), payload);

    EXPECT_EQ(cli({"mkdir", image, "/new"}).status, 0);
    const CliResult mv = cli({"mv", image, "/hello.txt", "greeting.txt"});
    EXPECT_EQ(mv.status, 0) << mv.err.toStdString();
    EXPECT_EQ(cli({"rm", image, "/docs/up.bin", "/new"}).status, 0);
    const CliResult df = cli({"df", image});
    EXPECT_EQ(df.status, 0) << df.err.toStdString();
    EXPECT_TRUE(df.out.contains("ext4")) << df.out.toStdString();

    ls = cli({"ls", image, "/"});
    EXPECT_TRUE(ls.out.contains("greeting.txt")) << ls.out.toStdString();
    EXPECT_FALSE(ls.out.contains("new/"));
    const CliResult failed = cli({"get", image, "/no-such-file", work.filePath("x")});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err.count('\n'), 1) << failed.err.toStdString();
    EXPECT_TRUE(isPartitionClean(image)) << "e2fsck found problems";
}

}  // namespace
}  // namespace quorvale::app
