// quorvale-cli on disk images through the real VM: each command boots the VM (plugging in every
// further source), acts, and shuts it down; failures give one line and a non-zero status.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    qputenv("XDG_STATE_HOME", work.filePath("state").toUtf8());  // the CLI's audit.log
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

    // Each change audited once, naming the partition and the image; reads leave no line.
    QFile audit(work.filePath("state/quorvale/audit.log"));
    ASSERT_TRUE(audit.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(audit.readAll()).split('\n', Qt::SkipEmptyParts);
    qunsetenv("XDG_STATE_HOME");
    const QStringList expected{"WRITE /docs/up.bin", "NEW FOLDER /new",
                               "RENAME /hello.txt → greeting.txt", "DELETE /docs/up.bin",
                               "DELETE /new"};
    ASSERT_EQ(lines.size(), expected.size()) << lines.join('\n').toStdString();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].contains("] " + expected[i] + " on image0p1 (card.img)"))
            << lines[i].toStdString();
    }
}

// The file `path` of partition 1 of `image`, read by debugfs (empty when missing).
QByteArray onCard(const QString& image, const QString& path, const QString& scratch) {
    const QString part = scratch + "/check.img";
    if (!extractPartition(image, part))
        return {};
    QProcess process;
    process.start("debugfs", {"-R", "cat " + path, part});
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

TEST(CliTest, SeveralSourcesInOneRunCopyFromCardToCardInsideTheVM) {
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir work;
    QDir().mkpath(work.filePath("a/docs/deep"));
    QDir().mkpath(work.filePath("b"));
    QByteArray data;
    for (int i = 0; i < 200000; ++i)
        data.append(char(i * 31 + 7));
    writeFile(work.filePath("a/hello.txt"), "hello from a\n");
    writeFile(work.filePath("a/docs/deep/data.bin"), data);
    writeFile(work.filePath("b/other.txt"), "b\n");
    const QString a = work.filePath("a.img"), b = work.filePath("b.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("a"), a, work.path()));
    ASSERT_TRUE(makeDiskImage(work.filePath("b"), b, work.path()));

    // A folder, into an existing directory of the other card: it keeps its name.
    const CliResult folder = cli({"cp", a + ":/docs", b + ":/"});
    ASSERT_EQ(folder.status, 0) << folder.err.toStdString();
    EXPECT_EQ(folder.out, "image0p1:/docs -> image1p1:/docs\n");
    // The first SOURCE for plain paths, SOURCE:PATH for the other card.
    const CliResult file = cli({"cp", a, "/hello.txt", b + ":/copied.txt"});
    ASSERT_EQ(file.status, 0) << file.err.toStdString();
    const CliResult listing = cli({"ls", b + ":/"});
    ASSERT_EQ(listing.status, 0) << listing.err.toStdString();
    const QStringList listed = listing.out.split('\n');
    EXPECT_TRUE(listed.contains("docs/")) << listing.out.toStdString();
    EXPECT_TRUE(listed.contains("copied.txt")) << listing.out.toStdString();

    // Never over an existing entry; a missing source is named.
    const CliResult exists = cli({"cp", a + ":/hello.txt", b + ":/copied.txt"});
    EXPECT_EQ(exists.status, 1);
    EXPECT_EQ(exists.err.count('\n'), 1) << exists.err.toStdString();
    EXPECT_TRUE(exists.err.contains("File exists")) << exists.err.toStdString();
    const CliResult missing = cli({"cp", a + ":/nothing", b + ":/"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.contains("no such file or directory: /nothing"))
        << missing.err.toStdString();

    EXPECT_TRUE(isPartitionClean(a));
    EXPECT_TRUE(isPartitionClean(b));
    EXPECT_EQ(onCard(b, "/docs/deep/data.bin", work.path()), data);
    EXPECT_EQ(onCard(b, "/copied.txt", work.path()), "hello from a\n");
    EXPECT_EQ(onCard(b, "/other.txt", work.path()), "b\n");
    EXPECT_EQ(onCard(a, "/docs/deep/data.bin", work.path()), data);
    EXPECT_EQ(onCard(a, "/hello.txt", work.path()), "hello from a\n");
    EXPECT_TRUE(onCard(a, "/copied.txt", work.path()).isEmpty()) << "written to the wrong card";

    // One rm over both cards.
    const CliResult removed = cli({"rm", a + ":/hello.txt", b + ":/copied.txt"});
    EXPECT_EQ(removed.status, 0) << removed.err.toStdString();
    EXPECT_TRUE(onCard(a, "/hello.txt", work.path()).isEmpty());
    EXPECT_TRUE(onCard(b, "/copied.txt", work.path()).isEmpty());
    EXPECT_EQ(onCard(b, "/other.txt", work.path()), "b\n");
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

TEST(CliTest, FoldersBothWaysWithConflictsAndMoves) {
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir work;
    const QString src = work.filePath("src");
    for (int folder = 0; folder < 5; ++folder) {
        for (int file = 0; file < 8; ++file) {
            QDir().mkpath(QStringLiteral("%1/d%2").arg(src).arg(folder));
            QByteArray bytes;
            for (int i = 0; i < 1000 * file + folder; ++i)
                bytes.append(char(i * 7 + folder));
            writeFile(QStringLiteral("%1/d%2/f%3.bin").arg(src).arg(folder).arg(file), bytes);
        }
    }
    QByteArray big(3 * 1024 * 1024 + 5, 'b');
    writeFile(src + "/d0/big.bin", big);
    QDir().mkpath(src + "/empty");
    ::chmod(QFile::encodeName(src + "/d1/f1.bin").constData(), 0640);
    ::chmod(QFile::encodeName(src + "/d2").constData(), 0750);
    ::symlink("../d0/big.bin", QFile::encodeName(src + "/d1/link").constData());
    const timespec old[2] = {{1500000000, 0}, {1500000000, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(src + "/d1/f1.bin").constData(), old, 0);
    ::utimensat(AT_FDCWD, QFile::encodeName(src + "/d2").constData(), old, 0);
    QDir().mkpath(work.filePath("card/keep"));
    writeFile(work.filePath("card/keep/note.txt"), "note\n");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("card"), image, work.path()));

    const CliResult folderWithoutR = cli({"put", image, src, "/"});
    EXPECT_EQ(folderWithoutR.status, 1);
    EXPECT_TRUE(folderWithoutR.err.contains("put -r")) << folderWithoutR.err.toStdString();
    const CliResult put = cli({"put", "-r", image, src, "/"});
    ASSERT_EQ(put.status, 0) << put.err.toStdString();
    // Again: fails by default, and keeps both when told to.
    const CliResult again = cli({"put", "-r", image, src, "/"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(again.err.contains("File exists")) << again.err.toStdString();
    EXPECT_EQ(onCard(image, "/src/d1/f1.bin", work.path()).size(), 1001);

    const QString out = work.filePath("out");
    QDir().mkpath(out);
    const CliResult get = cli({"get", "-r", image + ":/src", out});
    ASSERT_EQ(get.status, 0) << get.err.toStdString();
    EXPECT_EQ(treeDifference(describeLocalTree(out + "/src"), describeLocalTree(src)),
              QStringList());
    EXPECT_TRUE(QFileInfo(out + "/src/empty").isDir());

    writeFile(out + "/src/d3/f2.bin", "mine");
    const CliResult keep =
        cli({"get", "-r", "--on-conflict=keep-both", image + ":/src/d3", out + "/src"});
    ASSERT_EQ(keep.status, 0) << keep.err.toStdString();
    EXPECT_EQ(readAll(out + "/src/d3/f2.bin"), "mine");
    EXPECT_EQ(QFileInfo(out + "/src/d3/f2 2.bin").size(), 2003);

    // A folder moved across the tree in one rename; never into itself.
    const CliResult mv = cli({"mv", image, "/src/d2", "/keep/"});
    ASSERT_EQ(mv.status, 0) << mv.err.toStdString();
    EXPECT_EQ(mv.out, "/src/d2 -> /keep/d2\n");
    const CliResult into = cli({"mv", image, "/keep", "/keep/d2/keep"});
    EXPECT_EQ(into.status, 1);
    EXPECT_TRUE(into.err.contains("into itself")) << into.err.toStdString();
    EXPECT_EQ(onCard(image, "/keep/d2/f3.bin", work.path()).size(), 3002);
    EXPECT_TRUE(onCard(image, "/src/d2/f3.bin", work.path()).isEmpty());
    EXPECT_TRUE(isPartitionClean(image)) << "e2fsck found problems";
}

}  // namespace
}  // namespace quorvale::app
