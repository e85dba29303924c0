// Whole trees to and from the real agent serving a directory: contents, modes, times and links
// survive the round trip; conflicts get the answer asked for; a cancel keeps finished files
// only; moves stay inside the partition and never put a folder into itself.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include "fileops/tree_transfer.h"
#include "integration/agent_fixture.h"
#include "rpc/json_rpc.h"

namespace quorvale::testing {
namespace {

using fileops::ConflictAction;
using fileops::ConflictAnswer;
using fileops::ConflictPolicy;
using fileops::TransferOutcome;
using fileops::TreeOptions;

void writeAt(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QByteArray readAt(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

struct stat lstatOf(const QString& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st;
}

void setTime(const QString& path, std::int64_t seconds, long ns) {
    const timespec times[2] = {{seconds, ns}, {seconds, ns}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

// Every entry below `dir`, "/"-separated and sorted: "a/", "a/b.txt", "link@".
QStringList treeOf(const QString& dir) {
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString rel = QDir(dir).relativeFilePath(path);
        out << rel + (info.isSymLink() ? "@" : info.isDir() ? "/" : "");
    }
    out.sort();
    return out;
}

// The guest's message of a refused call, or "" when it succeeded.
template <typename T>
std::string refusal(QCoro::Task<T> task) {
    try {
        run(std::move(task));
    } catch (const rpc::JSONRPCError& error) {
        return error.message;
    }
    return {};
}

class TreeTransferTest : public AgentFixture {
protected:
    // photos/2020/a.jpg (0640, an old time), photos/run.sh (set-user-ID asked), photos/empty/,
    // photos/up -> ../outside, photos/abs -> /etc/passwd, photos/fifo.
    QString makeLocalTree() {
        const QString top = scratch.filePath("local/photos");
        writeAt(top + "/2020/a.jpg", QByteArray(300000, 'a'));
        writeAt(top + "/run.sh", "#!/bin/sh\n");
        QDir().mkpath(top + "/empty");
        ::chmod(QFile::encodeName(top + "/2020/a.jpg").constData(), 0640);
        ::chmod(QFile::encodeName(top + "/run.sh").constData(), 04755);
        ::chmod(QFile::encodeName(top + "/empty").constData(), 0700);
        ::symlink("../outside", QFile::encodeName(top + "/up").constData());
        ::symlink("/etc/passwd", QFile::encodeName(top + "/abs").constData());
        ::mkfifo(QFile::encodeName(top + "/fifo").constData(), 0644);
        setTime(top + "/2020/a.jpg", 1500000000, 123456789);
        setTime(top + "/up", 1400000000, 0);
        setTime(top + "/2020", 1300000000, 5000000);
        setTime(top + "/empty", 1200000000, 0);
        return top;
    }
};

TEST_F(TreeTransferTest, AFolderGoesToTheCardAndBackWithModesTimesAndLinks) {
    const QString top = makeLocalTree();
    TreeOptions up;
    std::vector<fileops::TreeProgress> reports;
    up.progress = [&](const fileops::TreeProgress& p) { reports.push_back(p); };
    const fileops::TreeReport sent =
        run(fileops::uploadTree(service, {top}, QStringLiteral("/"), std::move(up)));
    EXPECT_EQ(sent.outcome, TransferOutcome::completed);
    EXPECT_EQ(sent.filesDone, 2);
    ASSERT_EQ(sent.notes.size(), 1) << sent.notes.join('\n').toStdString();
    EXPECT_TRUE(sent.notes[0].contains("fifo") && sent.notes[0].contains("special"));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().bytesDone, reports.back().bytesTotal);
    EXPECT_EQ(reports.back().bytesTotal, 300000u + 10u);

    const QString card = hostPath("/photos");
    EXPECT_EQ(treeOf(card),
              (QStringList{"2020/", "2020/a.jpg", "abs@", "empty/", "run.sh", "up@"}));
    EXPECT_EQ(readAt(card + "/2020/a.jpg"), QByteArray(300000, 'a'));
    EXPECT_EQ(lstatOf(card + "/2020/a.jpg").st_mode & 07777, 0640u);
    EXPECT_EQ(lstatOf(card + "/run.sh").st_mode & 07777, 0755u) << "set-user-ID dropped";
    EXPECT_EQ(lstatOf(card + "/empty").st_mode & 07777, 0700u);
    EXPECT_EQ(lstatOf(card + "/2020/a.jpg").st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(lstatOf(card + "/2020/a.jpg").st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(lstatOf(card + "/2020").st_mtim.tv_sec, 1300000000) << "folder time set last";
    EXPECT_EQ(lstatOf(card + "/up").st_mtim.tv_sec, 1400000000);
    EXPECT_EQ(QFile::symLinkTarget(card + "/abs"), "/etc/passwd");
    EXPECT_EQ(QFileInfo(card + "/up").symLinkTarget(), QFileInfo(hostPath("/outside")).filePath());

    // And back, next to a file that must stay untouched.
    const QString back = scratch.filePath("back");
    QDir().mkpath(back);
    const auto listing = run(service.listDirectory(QStringLiteral("/")));
    QList<model::FileItem> photos;
    for (const auto& item : listing)
        if (item.name == "photos")
            photos << item;
    ASSERT_EQ(photos.size(), 1);
    const fileops::TreeReport got = run(fileops::exportTree(service, photos, back, TreeOptions{}));
    EXPECT_EQ(got.outcome, TransferOutcome::completed);
    EXPECT_EQ(got.written, QStringList{back + "/photos"});
    EXPECT_EQ(treeOf(back + "/photos"), treeOf(card));
    EXPECT_EQ(readAt(back + "/photos/2020/a.jpg"), QByteArray(300000, 'a'));
    EXPECT_EQ(lstatOf(back + "/photos/2020/a.jpg").st_mode & 07777, 0640u);
    EXPECT_EQ(lstatOf(back + "/photos/empty").st_mode & 07777, 0700u);
    EXPECT_EQ(lstatOf(back + "/photos/2020/a.jpg").st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(lstatOf(back + "/photos/2020").st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(lstatOf(back + "/photos/empty").st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(QFile::symLinkTarget(back + "/photos/abs"), "/etc/passwd");
    EXPECT_TRUE(S_ISLNK(lstatOf(back + "/photos/up").st_mode));
}

TEST_F(TreeTransferTest, EachConflictAnswerOnBothSides) {
    const QString local = scratch.filePath("local");
    writeAt(local + "/docs/a.txt", "new a");
    writeAt(local + "/docs/b.txt", "new b");
    put("/a.txt", "old");
    ASSERT_TRUE(QDir(root).mkpath("docs"));
    put("/docs/a.txt", "old a");
    put("/docs/b.txt", "old b");
    const QStringList both{local + "/docs/a.txt", local + "/docs/b.txt"};

    // Failing by default: the first taken name stops the job and nothing is replaced.
    EXPECT_THROW(run(fileops::uploadTree(service, both, "/docs", TreeOptions{})),
                 fileops::FileOperationError);
    EXPECT_EQ(get("/docs/a.txt"), "old a");

    TreeOptions skip;
    skip.conflicts = ConflictPolicy::always(ConflictAction::skip);
    EXPECT_EQ(run(fileops::uploadTree(service, both, "/docs", std::move(skip))).skipped, 2);
    EXPECT_EQ(get("/docs/b.txt"), "old b");

    // A folder merges into a folder; inside, each taken name is asked about until "all".
    int asked = 0;
    TreeOptions ask;
    ask.conflicts = ConflictPolicy::asking([&](fileops::Conflict c) -> QCoro::Task<ConflictAnswer> {
        ++asked;
        EXPECT_EQ(c.folder, "/docs");
        co_return ConflictAnswer{ConflictAction::keepBoth, true};
    });
    run(fileops::uploadTree(service, {local + "/docs"}, "/", std::move(ask)));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(get("/docs/a 2.txt"), "new a");
    EXPECT_EQ(get("/docs/b 2.txt"), "new b");
    EXPECT_EQ(get("/docs/a.txt"), "old a");

    TreeOptions replace;
    replace.conflicts = ConflictPolicy::always(ConflictAction::replace);
    run(fileops::uploadTree(service, both, "/docs", std::move(replace)));
    EXPECT_EQ(get("/docs/a.txt"), "new a");

    // Export: a local file and a local link at the names.
    const QString out = scratch.filePath("out");
    writeAt(out + "/a.txt", "mine");
    writeAt(scratch.filePath("victim"), "victim");
    ASSERT_TRUE(QFile::link(scratch.filePath("victim"), out + "/a 2.txt"));
    const auto items = run(service.listDirectory("/"));
    QList<model::FileItem> a;
    for (const auto& item : items)
        if (item.name == "a.txt")
            a << item;
    ASSERT_EQ(a.size(), 1);
    EXPECT_THROW(run(fileops::exportTree(service, a, out, TreeOptions{})),
                 fileops::FileOperationError);
    TreeOptions keep;
    keep.conflicts = ConflictPolicy::always(ConflictAction::keepBoth);
    EXPECT_EQ(run(fileops::exportTree(service, a, out, std::move(keep))).written,
              QStringList{out + "/a 3.txt"});
    TreeOptions over;
    over.conflicts = ConflictPolicy::always(ConflictAction::replace);
    over.topName = "a 2.txt";
    run(fileops::exportTree(service, a, out, std::move(over)));
    EXPECT_EQ(readAt(out + "/a.txt"), "mine");
    EXPECT_EQ(readAt(out + "/a 2.txt"), "old") << "the link itself replaced";
    EXPECT_FALSE(QFileInfo(out + "/a 2.txt").isSymLink());
    EXPECT_EQ(readAt(scratch.filePath("victim")), "victim") << "never written through a link";
}

// A file the guest refuses inside a batch (its name was taken on the card after the upload
// looked): the rest of the batch and the batch after it land whole, the refused name keeps what
// took it, the failure names it, and no temporary is left behind.
TEST_F(TreeTransferTest, AFileRefusedInsideABatchFailsAloneAndNothingIsLeftHalfWritten) {
    const QString local = scratch.filePath("local");
    QStringList paths;
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("f%1.txt").arg(i, 2, 10, QLatin1Char('0'));
        writeAt(local + "/" + name, "ours " + name.toUtf8());
        paths << local + "/" + name;
    }
    ASSERT_TRUE(QDir(root).mkpath("docs"));
    put("/docs/f05.txt", "old");
    TreeOptions up;
    // Asked about f05 while f03 waits in the unsent batch: another writer takes f03 meanwhile.
    up.conflicts = ConflictPolicy::asking([&](fileops::Conflict c) -> QCoro::Task<ConflictAnswer> {
        EXPECT_EQ(c.name, "f05.txt");
        put("/docs/f03.txt", "theirs");
        co_return ConflictAnswer{ConflictAction::replace, false};
    });
    int filesDone = 0;
    up.progress = [&](const fileops::TreeProgress& p) { filesDone = p.filesDone; };
    // Each file the guest wrote is told done on its own; the one it refused is not.
    QStringList told;
    service.recordDone([&](const fileops::Change& change) { told << change.path; });
    std::string failure;
    try {
        run(fileops::uploadTree(service, paths, "/docs", std::move(up)));
    } catch (const std::exception& error) {
        failure = error.what();
    }
    EXPECT_NE(failure.find("f03.txt"), std::string::npos) << "failure: " << failure;
    EXPECT_NE(failure.find("exists"), std::string::npos) << "failure: " << failure;
    EXPECT_EQ(filesDone, 39);
    EXPECT_EQ(get("/docs/f03.txt"), "theirs");
    QStringList expected, written;
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("f%1.txt").arg(i, 2, 10, QLatin1Char('0'));
        expected << name;
        if (i != 3) {
            EXPECT_EQ(get("/docs/" + name), "ours " + name.toUtf8());
            written << "/docs/" + name;
        }
    }
    EXPECT_EQ(treeOf(hostPath("/docs")), expected) << "a temporary or a stray name was left";
    told.sort();
    EXPECT_EQ(told, written);
}

TEST_F(TreeTransferTest, ACancelKeepsFinishedFilesAndNoPart) {
    const QString local = scratch.filePath("local/big");
    writeAt(local + "/1.bin", QByteArray(64 * 1024, '1'));
    writeAt(local + "/2.bin", QByteArray(4 * 1024 * 1024, '2'));
    writeAt(local + "/3.bin", QByteArray(10, '3'));
    std::stop_source stop;
    TreeOptions up;
    up.stop = stop.get_token();
    up.chunkBytes = 256 * 1024;
    const auto stopInSecond = [&](const fileops::TreeProgress& p) {
        if (p.currentFile.endsWith("2.bin") && p.bytesDone > 64 * 1024 + 300 * 1024)
            stop.request_stop();
    };
    up.progress = stopInSecond;
    const auto sent = run(fileops::uploadTree(service, {local}, "/", std::move(up)));
    EXPECT_EQ(sent.outcome, TransferOutcome::cancelled);
    EXPECT_EQ(treeOf(hostPath("/big")), QStringList{"1.bin"});

    stop = std::stop_source();
    const auto items = run(service.listDirectory("/"));
    put("/big/2.bin", QByteArray(4 * 1024 * 1024, '2'));
    put("/big/3.bin", "333");
    TreeOptions down;
    down.stop = stop.get_token();
    down.chunkBytes = 256 * 1024;
    down.progress = stopInSecond;
    const QString out = scratch.filePath("out");
    QDir().mkpath(out);
    const auto got = run(fileops::exportTree(service, items, out, std::move(down)));
    EXPECT_EQ(got.outcome, TransferOutcome::cancelled);
    EXPECT_EQ(treeOf(out), (QStringList{"big/", "big/1.bin"}));
}

TEST_F(TreeTransferTest, MovesStayInThePartitionAndNeverIntoThemselves) {
    ASSERT_TRUE(QDir(root).mkpath("a/b"));
    put("/a/b/c.txt", "c");
    ASSERT_TRUE(QDir(root).mkpath("z"));
    EXPECT_EQ(run(service.move("/a/b", "/z/b")), "/z/b");
    EXPECT_EQ(get("/z/b/c.txt"), "c");
    EXPECT_FALSE(exists("/a/b"));

    put("/z/taken", "t");
    EXPECT_NE(refusal(service.move("/z/b", "/z/taken")), "");
    EXPECT_EQ(get("/z/taken"), "t");
    EXPECT_EQ(refusal(service.move("/z", "/z/b/z")),
              "Invalid argument: cannot move the folder /z into itself (/z/b/z)");
    EXPECT_NE(refusal(service.move("/z", "/z")), "");
    EXPECT_NE(refusal(service.move("/z/b", "/../b")), "");
    EXPECT_TRUE(exists("/z/b/c.txt"));
}

}  // namespace
}  // namespace quorvale::testing
