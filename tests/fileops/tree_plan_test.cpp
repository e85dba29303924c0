// Conflict naming and policies, and the plans of tree copies: what a card's listing may put on
// this computer, and what a local tree sends to a card.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "fileops/conflicts.h"
#include "fileops/file_operation_error.h"
#include "fileops/scripted_peer.h"
#include "fileops/tree_plan.h"

namespace quorvale::fileops {
namespace {

using quorvale::testing::run;
using Kind = TreeEntry::Kind;

model::FileItem item(const QString& name, std::uint16_t mode, bool folder = false,
                     std::optional<QString> link = std::nullopt) {
    model::FileItem entry;
    entry.name = name;
    entry.path = entry.id = "/card/" + name;
    entry.permissions = mode;
    entry.isDirectory = folder;
    entry.isSymlink = link.has_value();
    entry.symlinkTarget = link;
    entry.size = folder ? 4096 : 10;
    entry.modifiedDate = QDateTime::fromMSecsSinceEpoch(1500000000123, Qt::UTC);
    return entry;
}

TEST(ConflictNames, KeepBothNumbersLikeFileManagers) {
    EXPECT_EQ(keepBothName("photo.jpg", {"photo.jpg"}), "photo 2.jpg");
    EXPECT_EQ(keepBothName("photo.jpg", {"photo.jpg", "photo 2.jpg", "photo 3.jpg"}),
              "photo 4.jpg");
    EXPECT_EQ(keepBothName("photo.jpg", {"other"}), "photo.jpg");
    EXPECT_EQ(keepBothName("archive.tar.gz", {"archive.tar.gz"}), "archive.tar 2.gz");
    EXPECT_EQ(keepBothName(".profile", {".profile"}), ".profile 2");
    EXPECT_EQ(keepBothName("photos.2020", {"photos.2020"}, true), "photos.2020 2");
    EXPECT_EQ(numberedName("trailing.", 2), "trailing. 2");
}

TEST(ConflictPolicies, FailByDefaultAndRememberAnAnswerForAll) {
    const Conflict conflict{"a.txt", "/docs", false, false};
    ConflictPolicy failing = ConflictPolicy::failing();
    try {
        run(failing.decide(conflict));
        ADD_FAILURE() << "a failing policy decided";
    } catch (const FileOperationError& error) {
        EXPECT_STREQ(error.what(), "Operation failed: File exists: /docs/a.txt");
    }
    int asked = 0;
    std::vector<ConflictAnswer> answers{{ConflictAction::skip, false},
                                        {ConflictAction::replace, true}};
    ConflictPolicy asking = ConflictPolicy::asking([&](Conflict) -> QCoro::Task<ConflictAnswer> {
        co_return answers[static_cast<std::size_t>(asked++)];
    });
    EXPECT_EQ(run(asking.decide(conflict)), ConflictAction::skip);
    EXPECT_EQ(run(asking.decide(conflict)), ConflictAction::replace);
    EXPECT_EQ(run(asking.decide(conflict)), ConflictAction::replace);
    EXPECT_EQ(asked, 2) << "not asked again after an answer for all";

    EXPECT_FALSE(parseConflictChoice("overwrite"));
    EXPECT_TRUE(parseConflictChoice("ask")->ask);
    EXPECT_EQ(parseConflictChoice("keep-both")->action, ConflictAction::keepBoth);
    EXPECT_FALSE(parseConflictChoice("fail")->action);
}

TEST(CardTreePlan, KeepsOnlyNamesThatStayInTheFolderAndDropsSpecialFiles) {
    TreePlan plan;
    const std::vector<int> folders = addCardEntries(
        plan, -1,
        {item("..", S_IFDIR | 0755, true), item("a/b", S_IFREG | 0644), item("", S_IFREG | 0644),
         item("docs", S_IFDIR | 02775, true), item("docs", S_IFLNK | 0777, false, "/etc"),
         item("tool", S_IFREG | 06755), item("pipe", S_IFIFO | 0644),
         item("link", S_IFLNK | 0777, false, "../../etc/passwd")});
    ASSERT_EQ(plan.entries.size(), 3u);
    EXPECT_EQ(plan.entries[0].name, "docs");
    EXPECT_EQ(plan.entries[0].kind, Kind::folder);
    EXPECT_EQ(plan.entries[0].mode, 0775u) << "set-group-ID dropped";
    EXPECT_EQ(plan.entries[1].mode, 0755u) << "set-user-ID dropped";
    EXPECT_EQ(plan.entries[1].mtimeNs, 1500000000123000000);
    EXPECT_EQ(plan.entries[2].kind, Kind::symlink);
    EXPECT_EQ(plan.entries[2].linkTarget, "../../etc/passwd");
    EXPECT_EQ(folders, std::vector<int>{0});
    EXPECT_EQ(plan.totalBytes, 10u);
    EXPECT_EQ(plan.fileCount, 1);
    const QString notes = plan.notes.join('\n');
    EXPECT_EQ(plan.notes.size(), 5) << notes.toStdString();
    EXPECT_TRUE(notes.contains("listed twice"));
    EXPECT_TRUE(notes.contains("/card/pipe\": a special file"));

    const auto inside = addCardEntries(plan, 0, {item("deep", S_IFDIR | 0700, true)});
    EXPECT_EQ(plan.relativePath(inside[0]), "docs/deep");
}

TEST(CardTreePlan, AnEndlessTreeFromTheCardIsCutOff) {
    TreePlan plan;
    int parent = -1;
    EXPECT_THROW(
        {
            for (int level = 0; level < 1000; ++level)
                parent = addCardEntries(plan, parent, {item("d", S_IFDIR | 0755, true)})[0];
        },
        FileOperationError);
    EXPECT_EQ(plan.depth(parent), TreePlan::maxDepth);
}

TEST(LocalTreePlan, WalksWithoutFollowingLinksFoldersFirst) {
    QTemporaryDir dir;
    const QString top = dir.filePath("top");
    QDir().mkpath(top + "/b/empty");
    QFile(top + "/a.txt").open(QIODevice::WriteOnly);
    QFile file(top + "/b/c.bin");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1234, 'c'));
    file.close();
    ::symlink("/", QFile::encodeName(top + "/root").constData());
    ::mkfifo(QFile::encodeName(top + "/pipe").constData(), 0600);
    const QByteArray latin1 = QFile::encodeName(top) + "/caf\xE9";
    ::close(::open(latin1.constData(), O_CREAT | O_WRONLY, 0644));

    const TreePlan plan = planLocalTree({top + "/"});
    QStringList paths;
    for (std::size_t i = 0; i < plan.entries.size(); ++i)
        paths << plan.relativePath(static_cast<int>(i)) +
                     (plan.entries[i].kind == Kind::folder    ? "/"
                      : plan.entries[i].kind == Kind::symlink ? "@"
                                                              : "");
    EXPECT_EQ(paths, (QStringList{"top/", "top/a.txt", "top/b/", "top/root@", "top/b/c.bin",
                                  "top/b/empty/"}));
    EXPECT_EQ(plan.totalBytes, 1234u);
    EXPECT_EQ(plan.entries[3].linkTarget, "/");
    EXPECT_EQ(plan.notes.size(), 2) << plan.notes.join('\n').toStdString();
    EXPECT_TRUE(plan.notes.join('\n').contains("not UTF-8"));
    EXPECT_THROW(planLocalTree({dir.filePath("missing")}), FileOperationError);
}

}  // namespace
}  // namespace quorvale::fileops
