// Cut, copy and paste through FileBrowserViewModel against the real agent serving a directory
// on the host: moves are renames, copies are made by the agent, conflicts are asked about and
// a folder never goes into itself.

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/browser/file_browser_view_model.h"
#include "app_test_support.h"
#include "fileops/file_operation_service.h"
#include "host_agent.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using fileops::ConflictAction;
using model::FileItem;

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ino_t inodeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                                  QDir::Name);
}

class BrowserPasteTest : public ::testing::Test {
protected:
    BrowserPasteTest() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(stateDir.path()));
        agent.connect(transport);
        browser.connectService(std::make_shared<fileops::FileOperationService>(transport),
                               QStringLiteral("sdb2"), QStringLiteral("card.img"));
        // Answers in order; every question is remembered.
        browser.conflictQuestion =
            [this](fileops::Conflict conflict) -> QCoro::Task<fileops::ConflictAnswer> {
            asked << conflict.name;
            const fileops::ConflictAnswer answer = answers.value(0);
            if (!answers.isEmpty())
                answers.removeFirst();
            co_return answer;
        };
    }
    ~BrowserPasteTest() override { qunsetenv("XDG_STATE_HOME"); }

    void select(const QStringList& names) {
        QSet<QString> ids;
        for (const FileItem& item : browser.files())
            if (names.contains(item.name))
                ids.insert(item.id);
        ASSERT_EQ(ids.size(), names.size());
        browser.setSelectedFiles(ids);
    }

    PlacementReport paste(const QString& folder) { return run(browser.paste(folder)); }

    QTemporaryDir stateDir;
    HostAgent agent;
    guest::VsockTransport transport;
    FileBrowserViewModel browser;
    QList<fileops::ConflictAnswer> answers;
    QStringList asked;
};

TEST_F(BrowserPasteTest, CutAndPasteMovesEntriesWithOneRename) {
    agent.writeFile("photos/2020/a.jpg", "a");
    agent.writeFile("photos/b.jpg", "b");
    agent.writeFile("notes.txt", "n");
    agent.makeDirectory("archive");
    const ino_t folderInode = inodeOf(agent.rootPath("photos"));
    const ino_t fileInode = inodeOf(agent.rootPath("notes.txt"));
    run(browser.navigateTo("/"));
    select({"photos", "notes.txt"});
    browser.cutSelection();
    ASSERT_TRUE(browser.clipboard());
    EXPECT_TRUE(browser.clipboard()->cut);

    run(browser.navigateTo("/archive"));
    const PlacementReport report = paste("/archive");
    EXPECT_EQ(report.placed, 2);
    EXPECT_EQ(report.text(), "Moved 2 items to archive.");
    EXPECT_EQ(entries(agent.root()), QStringList{"archive"});
    EXPECT_EQ(entries(agent.rootPath("archive")), (QStringList{"notes.txt", "photos"}));
    EXPECT_EQ(readAll(agent.rootPath("archive/photos/2020/a.jpg")), "a");
    // Renamed, not copied: the same inodes under the new names.
    EXPECT_EQ(inodeOf(agent.rootPath("archive/photos")), folderInode);
    EXPECT_EQ(inodeOf(agent.rootPath("archive/notes.txt")), fileInode);
    // The listing shows them, selected; the cut is used up.
    EXPECT_EQ(browser.selectedFiles(), (QSet<QString>{"/archive/photos", "/archive/notes.txt"}));
    EXPECT_FALSE(browser.clipboard());
    EXPECT_TRUE(asked.isEmpty());
}

TEST_F(BrowserPasteTest, CopyPasteDuplicatesBesideAndAsksElsewhere) {
    agent.writeFile("a.txt", "new");
    agent.writeFile("docs/a.txt", "old");
    agent.writeFile("docs/b.txt", "old b");
    agent.writeFile("b.txt", "new b");
    run(browser.navigateTo("/"));
    select({"a.txt"});
    browser.copySelection();
    // Into its own folder: a duplicate, nothing asked; twice gives two.
    EXPECT_EQ(paste("/").paths, QStringList{"/a 2.txt"});
    EXPECT_EQ(paste("/").paths, QStringList{"/a 3.txt"});
    EXPECT_EQ(readAll(agent.rootPath("a 3.txt")), "new");
    EXPECT_TRUE(asked.isEmpty());
    ASSERT_TRUE(browser.clipboard());  // a copy may be pasted again

    // Into another folder each answer does what it says.
    struct Case {
        ConflictAction action;
        QByteArray content;  // of docs/a.txt afterwards
        QStringList docs;    // the folder afterwards
    };
    const Case cases[] = {
        {ConflictAction::skip, "old", {"a.txt", "b.txt"}},
        {ConflictAction::keepBoth, "old", {"a 2.txt", "a.txt", "b.txt"}},
        {ConflictAction::replace, "new", {"a 2.txt", "a.txt", "b.txt"}},
    };
    for (const Case& c : cases) {
        answers = {{c.action, false}};
        asked.clear();
        const PlacementReport report = paste("/docs");
        EXPECT_EQ(asked, QStringList{"a.txt"});
        EXPECT_EQ(readAll(agent.rootPath("docs/a.txt")), c.content);
        EXPECT_EQ(entries(agent.rootPath("docs")), c.docs);
        EXPECT_EQ(report.skipped, c.action == ConflictAction::skip ? 1 : 0);
    }
    // "Apply to all" answers the conflicts that follow without asking.
    run(browser.navigateTo("/"));
    select({"a.txt", "b.txt"});
    browser.copySelection();
    answers = {{ConflictAction::replace, true}};
    asked.clear();
    EXPECT_EQ(paste("/docs").placed, 2);
    EXPECT_EQ(asked.size(), 1);
    EXPECT_EQ(readAll(agent.rootPath("docs/b.txt")), "new b");
    EXPECT_EQ(entries(agent.rootPath("docs")), (QStringList{"a 2.txt", "a.txt", "b.txt"}));
}

TEST_F(BrowserPasteTest, AFolderNeverGoesIntoItselfAndIsNeverReplaced) {
    agent.writeFile("photos/2020/a.jpg", "a");
    agent.writeFile("photos2/x.jpg", "x");
    agent.writeFile("x.jpg", "file");
    run(browser.navigateTo("/"));
    select({"photos"});
    for (const bool cut : {true, false}) {
        cut ? browser.cutSelection() : browser.copySelection();
        for (const QString& into : {QStringLiteral("/photos"), QStringLiteral("/photos/2020")}) {
            try {
                paste(into);
                ADD_FAILURE() << "pasted into " << into.toStdString();
            } catch (const PlacementRefused& refusal) {
                EXPECT_TRUE(QString::fromUtf8(refusal.what())
                                .startsWith(cut ? "Cannot move the folder “photos” into"
                                                : "Cannot copy the folder “photos” into"))
                    << refusal.what();
            }
        }
    }
    EXPECT_EQ(entries(agent.rootPath("photos")), QStringList{"2020"});
    EXPECT_EQ(entries(agent.rootPath("photos/2020")), QStringList{"a.jpg"});
    // A name that only starts the same is another folder.
    browser.cutSelection();
    EXPECT_EQ(paste("/photos2").placed, 1);
    EXPECT_TRUE(QFileInfo(agent.rootPath("photos2/photos/2020/a.jpg")).isFile());

    // Replace never takes a folder's place: the file is left where it was.
    agent.makeDirectory("photos2/sub/x.jpg");
    run(browser.navigateTo("/"));
    select({"x.jpg"});
    browser.cutSelection();
    answers = {{ConflictAction::replace, false}};
    const PlacementReport report = paste("/photos2/sub");
    EXPECT_EQ(report.placed, 0);
    EXPECT_EQ(report.skipped, 1);
    EXPECT_TRUE(report.text().contains("Not replaced: the folder /photos2/sub/x.jpg"));
    EXPECT_TRUE(QFileInfo(agent.rootPath("photos2/sub/x.jpg")).isDir());
    EXPECT_EQ(readAll(agent.rootPath("x.jpg")), "file");
}

TEST(PlacementRulesTest, FoldersAreRefusedOnlyIntoThemselves) {
    FileItem photos;
    photos.name = "photos";
    photos.path = "/photos";
    photos.isDirectory = true;
    FileItem link = photos;
    link.isSymlink = true;  // a link to a folder is an entry of its own
    const struct {
        QString folder;
        bool refused;
    } cases[] = {{"/photos", true},   {"/photos/2020", true}, {"/photos/2020/x", true},
                 {"/photos2", false}, {"/", false},           {"/other/photos", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(placementRefusal({photos}, c.folder, Placement::move).has_value(), c.refused)
            << c.folder.toStdString();
        EXPECT_FALSE(placementRefusal({link}, c.folder, Placement::move));
    }
    EXPECT_EQ(*placementRefusal({photos}, "/photos/2020", Placement::copy),
              "Cannot copy the folder “photos” into its own subfolder “2020”.");
}

}  // namespace
}  // namespace quorvale::app
