// quorvale-cli --staged on disk images through the real VM: changes land in an overlay in the
// cache directory while the card stays byte for byte as it was, until apply writes them (QEMU's
// commit, then the guest's check) or discard drops them. The overlay outlives a killed run, and
// is never written to another card or to a card changed since.

#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "disk_image.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;

// Runs debugfs `request` on partition 1 of `image`; its stdout.
QByteArray debugfs(const QString& image, const QString& request, const QString& scratch) {
    const QString part = scratch + "/debugfs-part.img";
    QFile::remove(part);
    if (!extractPartition(image, part))
        return "(no partition)";
    QProcess process;
    process.start("debugfs", {"-R", request, part});
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

QByteArray patterned(int size, int seed) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((unsigned(i) * 131u + unsigned(seed) * 17u) >> 3);
    return bytes;
}

class StagedCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!vmImageAvailable())
            GTEST_SKIP() << "no VM image in the build tree";
        ASSERT_TRUE(work.isValid());
        // Overlays and records go to a cache directory of this test alone.
        qputenv("XDG_CACHE_HOME", QFile::encodeName(work.filePath("cache")));
        cacheDir = work.filePath("cache/quorvale/staged");
        QDir().mkpath(work.filePath("tree/docs"));
        writeFile(work.filePath("tree/hello.txt"), "hello\n");
        writeFile(work.filePath("tree/old.txt"), "to be deleted\n");
        writeFile(work.filePath("tree/docs/notes.txt"), "notes\n");
        image = work.filePath("card.img");
        ASSERT_TRUE(makeDiskImage(work.filePath("tree"), image, work.path()));
        original = fileSha256(image);
    }
    void TearDown() override { qunsetenv("XDG_CACHE_HOME"); }

    QStringList cacheFiles() const {
        return QDir(cacheDir).entryList(QDir::Files | QDir::NoDotAndDotDot);
    }

    QTemporaryDir work;
    QString cacheDir;
    QString image;
    QByteArray original;
};

TEST_F(StagedCliTest, StagedStepsLeaveTheCardAloneUntilApplyWritesExactlyThem) {
    const QString session = work.filePath("changes.session");
    const QByteArray payload = patterned(5 * 1024 * 1024 + 123, 1);
    writeFile(work.filePath("a.bin"), payload);

    const CliResult put =
        cli({"--staged", "--session", session, "put", image, work.filePath("a.bin"), "/a.bin"});
    ASSERT_EQ(put.status, 0) << put.err.toStdString();
    EXPECT_TRUE(put.err.contains("pending in " + session)) << put.err.toStdString();
    EXPECT_EQ(fileSha256(image), original) << "a staged upload wrote to the card";
    const CliResult mv = cli({"--session", session, "mv", image, "/hello.txt", "greeting.txt"});
    ASSERT_EQ(mv.status, 0) << mv.err.toStdString();
    const CliResult rm = cli({"--staged", "--session", session, "rm", image, "/old.txt"});
    ASSERT_EQ(rm.status, 0) << rm.err.toStdString();
    EXPECT_EQ(fileSha256(image), original) << "staged changes wrote to the card";

    // The staged view shows the changes; the card itself (read-only run) does not.
    const CliResult stagedLs = cli({"--session", session, "ls", image, "/"});
    ASSERT_EQ(stagedLs.status, 0) << stagedLs.err.toStdString();
    EXPECT_TRUE(stagedLs.out.split('\n').contains("a.bin")) << stagedLs.out.toStdString();
    EXPECT_TRUE(stagedLs.out.split('\n').contains("greeting.txt")) << stagedLs.out.toStdString();
    EXPECT_FALSE(stagedLs.out.split('\n').contains("old.txt")) << stagedLs.out.toStdString();
    const CliResult plainLs = cli({"--read-only", "ls", image, "/"});
    ASSERT_EQ(plainLs.status, 0) << plainLs.err.toStdString();
    EXPECT_TRUE(plainLs.out.split('\n').contains("old.txt")) << plainLs.out.toStdString();
    EXPECT_FALSE(plainLs.out.split('\n').contains("a.bin")) << plainLs.out.toStdString();
    EXPECT_EQ(fileSha256(image), original);

    // The record lists what was done, in order, with the upload's size.
    QFile record(session);
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    const QByteArray recorded = record.readAll();
    record.close();
    EXPECT_TRUE(recorded.contains("\"upload\"")) << recorded.toStdString();
    EXPECT_TRUE(recorded.contains(QByteArray::number(payload.size()))) << recorded.toStdString();
    EXPECT_LT(recorded.indexOf("\"upload\""), recorded.indexOf("\"rename\""));
    EXPECT_LT(recorded.indexOf("\"rename\""), recorded.indexOf("\"delete\""));
    ASSERT_EQ(cacheFiles().size(), 1) << cacheFiles().join(' ').toStdString();  // the overlay

    const CliResult apply = cli({"--session", session, "apply", image});
    ASSERT_EQ(apply.status, 0) << apply.err.toStdString() << apply.out.toStdString();
    EXPECT_TRUE(apply.out.contains("Applying: Upload /a.bin")) << apply.out.toStdString();
    EXPECT_TRUE(apply.err.contains("100%")) << apply.err.toStdString();
    EXPECT_NE(fileSha256(image), original);
    EXPECT_FALSE(QFile::exists(session)) << "the record outlived its apply";
    EXPECT_TRUE(cacheFiles().isEmpty()) << cacheFiles().join(' ').toStdString();

    // Exactly those changes, on a clean filesystem.
    EXPECT_TRUE(isPartitionClean(image));
    EXPECT_EQ(debugfs(image, "cat /a.bin", work.path()), payload);
    EXPECT_EQ(debugfs(image, "cat /greeting.txt", work.path()), "hello\n");
    const QByteArray root = debugfs(image, "ls -p /", work.path());
    EXPECT_FALSE(root.contains("/hello.txt/")) << root.toStdString();
    EXPECT_FALSE(root.contains("/old.txt/")) << root.toStdString();
    EXPECT_TRUE(root.contains("/docs/")) << root.toStdString();
    EXPECT_EQ(debugfs(image, "cat /docs/notes.txt", work.path()), "notes\n");
    // Nothing else: the card's root holds what it held, renamed, plus the upload.
    QStringList names;
    for (const QByteArray& line : root.split('\n')) {
        const QList<QByteArray> fields = line.split('/');
        if (fields.size() > 5 && !fields[5].isEmpty() && fields[5] != "." && fields[5] != "..")
            names << QString::fromUtf8(fields[5]);
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{"a.bin", "docs", "greeting.txt", "lost+found"}));

    // Nothing is left to apply.
    const CliResult again = cli({"--session", session, "apply", image});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(again.err.contains("no staged changes")) << again.err.toStdString();
}

TEST_F(StagedCliTest, DiscardLeavesTheCardByteIdenticalAndWithoutSessionTheChangesAreKept) {
    writeFile(work.filePath("b.bin"), patterned(300000, 2));
    // Without --session the overlay and its record are kept in the cache directory and named.
    const CliResult put = cli({"--staged", "put", image, work.filePath("b.bin"), "/docs/"});
    ASSERT_EQ(put.status, 0) << put.err.toStdString();
    EXPECT_TRUE(put.err.contains(cacheDir)) << put.err.toStdString();
    EXPECT_EQ(cacheFiles().size(), 2) << cacheFiles().join(' ').toStdString();
    const CliResult mkdir = cli({"--staged", "mkdir", image, "/made"});
    ASSERT_EQ(mkdir.status, 0) << mkdir.err.toStdString();
    EXPECT_EQ(cacheFiles().size(), 2) << "a second run made another overlay";

    // A plain run takes the pending changes up rather than writing under them.
    const CliResult ls = cli({"ls", image, "/docs"});
    ASSERT_EQ(ls.status, 0) << ls.err.toStdString();
    EXPECT_TRUE(ls.out.split('\n').contains("b.bin")) << ls.out.toStdString();
    EXPECT_TRUE(ls.err.contains("staged changes not yet applied")) << ls.err.toStdString();
    EXPECT_EQ(fileSha256(image), original);

    const CliResult discard = cli({"discard", image});
    ASSERT_EQ(discard.status, 0) << discard.err.toStdString();
    EXPECT_TRUE(discard.out.contains("Discarded: Upload /docs/b.bin")) << discard.out.toStdString();
    EXPECT_TRUE(discard.out.contains("Discarded: New folder /made")) << discard.out.toStdString();
    EXPECT_TRUE(cacheFiles().isEmpty()) << cacheFiles().join(' ').toStdString();
    EXPECT_EQ(fileSha256(image), original) << "discard touched the card";
    const CliResult after = cli({"--read-only", "ls", image, "/docs"});
    ASSERT_EQ(after.status, 0) << after.err.toStdString();
    EXPECT_FALSE(after.out.contains("b.bin")) << after.out.toStdString();
    EXPECT_EQ(cli({"discard", image}).status, 1);  // nothing left
}

TEST_F(StagedCliTest, AKilledRunLeavesTheOverlayToApplyOnTheNextRun) {
    const QByteArray first = patterned(2 * 1024 * 1024, 3);
    writeFile(work.filePath("first.bin"), first);
    writeFile(work.filePath("big.bin"), patterned(24 * 1024 * 1024, 4));
    const CliResult put = cli({"--staged", "put", image, work.filePath("first.bin"), "/"});
    ASSERT_EQ(put.status, 0) << put.err.toStdString();

    // A second staged upload killed half way: QEMU dies with the CLI.
    QProcess killed;
    killed.setProgram(qEnvironmentVariable("QUORVALE_BUILD_DIR") + "/bin/quorvale-cli");
    killed.setArguments(
        {"--ready-timeout", "120", "--staged", "put", image, work.filePath("big.bin"), "/big.bin"});
    killed.start();
    ASSERT_TRUE(killed.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    QByteArray progress;
    while (!progress.contains('%') && clock.elapsed() < 180000 &&
           killed.state() == QProcess::Running) {
        killed.waitForReadyRead(200);
        progress += killed.readAllStandardError();
    }
    ASSERT_TRUE(progress.contains('%')) << progress.toStdString();
    ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
    killed.waitForFinished(10000);
    // QEMU follows its parent (death signal); give it a moment to let go of the files.
    QThread::msleep(500);
    EXPECT_EQ(fileSha256(image), original) << "a killed staged run wrote to the card";

    const CliResult apply = cli({"apply", image});
    ASSERT_EQ(apply.status, 0) << apply.err.toStdString() << apply.out.toStdString();
    EXPECT_TRUE(cacheFiles().isEmpty()) << cacheFiles().join(' ').toStdString();
    EXPECT_TRUE(isPartitionClean(image));
    EXPECT_EQ(debugfs(image, "cat /first.bin", work.path()), first);
    // The killed upload never became a file under its name.
    const QByteArray root = debugfs(image, "ls -p /", work.path());
    EXPECT_FALSE(root.contains("/big.bin/")) << root.toStdString();
}

TEST_F(StagedCliTest, AnOverlayIsNeverAppliedToAnotherOrAChangedCard) {
    const QString session = work.filePath("s.session");
    writeFile(work.filePath("c.bin"), patterned(100000, 5));
    ASSERT_EQ(cli({"--session", session, "put", image, work.filePath("c.bin"), "/"}).status, 0);

    // Another card: a filesystem of its own, or this card's bytes on a card of another size.
    const QString other = work.filePath("other.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("tree"), other, work.path()));
    const QString grown = work.filePath("grown.img");
    ASSERT_TRUE(QFile::copy(image, grown));
    ASSERT_TRUE(QFile::resize(grown, QFileInfo(image).size() + 1024 * 1024));
    for (const QString& card : {other, grown}) {
        const QByteArray before = fileSha256(card);
        const CliResult apply = cli({"--session", session, "apply", card});
        EXPECT_EQ(apply.status, 1) << card.toStdString();
        EXPECT_TRUE(apply.err.contains("another card")) << apply.err.toStdString();
        EXPECT_EQ(fileSha256(card), before) << card.toStdString();
    }
    EXPECT_TRUE(QFile::exists(session));

    // The card itself, written since (a plain run does not know this session): refused too.
    writeFile(work.filePath("d.txt"), "direct\n");
    ASSERT_EQ(cli({"put", image, work.filePath("d.txt"), "/"}).status, 0);
    const QByteArray changed = fileSha256(image);
    const CliResult apply = cli({"--session", session, "apply", image});
    EXPECT_EQ(apply.status, 1);
    EXPECT_TRUE(apply.err.contains("changed since")) << apply.err.toStdString();
    EXPECT_EQ(fileSha256(image), changed);
    EXPECT_TRUE(isPartitionClean(image));
    EXPECT_EQ(cli({"--session", session, "discard", image}).status, 0);
    EXPECT_FALSE(QFile::exists(session));
    EXPECT_TRUE(cacheFiles().isEmpty()) << cacheFiles().join(' ').toStdString();
}

}  // namespace
}  // namespace quorvale::app
