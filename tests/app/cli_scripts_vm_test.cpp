// quorvale-cli as scripts use it, through the real VM: names, long and JSON listings, stat,
// tree, cat, df as JSON, the exit statuses, and a read-only run that leaves the image file
// byte for byte as it was.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "disk_image.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;

QJsonDocument json(const CliResult& result) {
    return QJsonDocument::fromJson(result.out.toUtf8());
}

TEST(CliScriptsTest, ReadingCommandsAndJson) {
    const CliResult help = cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains("Exit status:")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("  2   usage error"));
    EXPECT_EQ(cli({"cat"}).status, 2);
    EXPECT_EQ(cli({"--read-only", "--repair", "ls", "x.img", "/"}).status, 2);
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";

    QTemporaryDir work;
    const QString tree = work.filePath("tree");
    QByteArray binary;
    for (int i = 0; i < 70000; ++i)
        binary.append(char(i % 251));  // NULs and every byte value
    writeFile(tree + "/docs/data.bin", binary);
    writeFile(tree + "/docs/sub/b.txt", "b\n");
    writeFile(tree + "/hello.txt", "hello\n");
    QDir().mkpath(tree + "/empty");
    ::symlink("docs/data.bin", QFile::encodeName(tree + "/link").constData());
    ::chmod(QFile::encodeName(tree + "/docs/data.bin").constData(), 0640);
    const timespec when[2] = {{1600000000, 0}, {1600000000, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(tree + "/docs/data.bin").constData(), when, 0);
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(tree, image, work.path()));

    const CliResult names = cli({"ls", image, "/"});
    ASSERT_EQ(names.status, 0) << names.err.toStdString();
    EXPECT_EQ(names.out, "docs/\nempty/\nlost+found/\nhello.txt\nlink\n");
    const CliResult longForm = cli({"ls", "-l", image, "/"});
    ASSERT_EQ(longForm.status, 0) << longForm.err.toStdString();
    EXPECT_TRUE(longForm.out.contains(" link -> docs/data.bin\n")) << longForm.out.toStdString();
    EXPECT_TRUE(longForm.out.contains(
        QRegularExpression("^drwx\\S+ .* docs/$", QRegularExpression::MultilineOption)))
        << longForm.out.toStdString();

    const CliResult listed = cli({"ls", "--json", image + ":/docs"});
    ASSERT_EQ(listed.status, 0) << listed.err.toStdString();
    const QJsonArray entries = json(listed).array();
    ASSERT_EQ(entries.size(), 2) << listed.out.toStdString();
    EXPECT_EQ(entries[0]["name"].toString(), "sub");
    EXPECT_EQ(entries[0]["type"].toString(), "directory");
    EXPECT_EQ(entries[1]["path"].toString(), "/docs/data.bin");
    EXPECT_EQ(entries[1]["size"].toInteger(), binary.size());
    EXPECT_EQ(entries[1]["mode"].toInt(), 0640);
    EXPECT_EQ(entries[1]["permissions"].toString(), "-rw-r-----");
    EXPECT_EQ(entries[1]["modified"].toString(), "2020-09-13T12:26:40Z");

    const CliResult stat = cli({"stat", "--json", image, "/link"});
    ASSERT_EQ(stat.status, 0) << stat.err.toStdString();
    const QJsonObject link = json(stat).object();
    EXPECT_EQ(link["type"].toString(), "symlink");
    EXPECT_EQ(link["target"].toString(), "docs/data.bin");
    const CliResult statFile = cli({"stat", image, "/docs/data.bin"});
    ASSERT_EQ(statFile.status, 0) << statFile.err.toStdString();
    EXPECT_TRUE(statFile.out.contains("  Mode: 0640 (-rw-r-----)")) << statFile.out.toStdString();
    EXPECT_TRUE(statFile.out.contains("Modify: 2020-09-13T12:26:40Z"));
    EXPECT_TRUE(statFile.out.contains("  Type: file\n"));

    const CliResult drawn = cli({"tree", image, "/"});
    ASSERT_EQ(drawn.status, 0) << drawn.err.toStdString();
    EXPECT_EQ(drawn.out,
              "/\n"
              "├── docs/\n"
              "│   ├── sub/\n"
              "│   │   └── b.txt\n"
              "│   └── data.bin\n"
              "├── empty/\n"
              "├── lost+found/\n"
              "├── hello.txt\n"
              "└── link -> docs/data.bin\n"
              "\n"
              "4 directories, 4 files\n");

    // cat writes the bytes as they are; a folder or a missing file is one line on stderr.
    const CliResult cat = cli({"cat", image, "/docs/data.bin"});
    ASSERT_EQ(cat.status, 0) << cat.err.toStdString();
    EXPECT_EQ(cat.bytes, binary);
    const CliResult folder = cli({"cat", image, "/docs"});
    EXPECT_EQ(folder.status, 1);
    EXPECT_EQ(folder.err, "quorvale-cli: /docs is a directory\n");
    EXPECT_TRUE(folder.out.isEmpty());

    const CliResult df = cli({"df", "--json", image});
    ASSERT_EQ(df.status, 0) << df.err.toStdString();
    const QJsonArray partitions = json(df).array();
    ASSERT_EQ(partitions.size(), 1) << df.out.toStdString();
    EXPECT_EQ(partitions[0]["filesystem"].toString(), "ext4");
    EXPECT_GT(partitions[0]["total_bytes"].toInteger(), 20'000'000);
    EXPECT_EQ(partitions[0]["used_bytes"].toInteger() + partitions[0]["free_bytes"].toInteger(),
              partitions[0]["total_bytes"].toInteger());

    // A read-only run reads, refuses every change, and leaves the image file as it was.
    const QByteArray before = fileSha256(image);
    const CliResult ro = cli({"--read-only", "cat", image, "/hello.txt"});
    ASSERT_EQ(ro.status, 0) << ro.err.toStdString();
    EXPECT_EQ(ro.out, "hello\n");
    writeFile(work.filePath("new.txt"), "new");
    const CliResult refused = cli({"put", "--read-only", image, work.filePath("new.txt"), "/"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains("read-only")) << refused.err.toStdString();
    EXPECT_EQ(cli({"rm", image, "/hello.txt", "--read-only"}).status, 1);
    EXPECT_EQ(fileSha256(image), before);
    // A run that is not read-only changes the image even when it only lists (the mount is
    // recorded in the superblock): the check above would see a write.
    ASSERT_EQ(cli({"ls", image, "/"}).status, 0);
    EXPECT_NE(fileSha256(image), before);
    EXPECT_TRUE(isPartitionClean(image));
}

}  // namespace
}  // namespace quorvale::app
