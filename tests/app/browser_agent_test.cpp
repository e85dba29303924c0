// FileBrowserViewModel and FilePreviewViewModel against the real agent serving a directory on
// the host, over a real socket.

#include <sys/stat.h>
#include <utime.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/browser/audit_log.h"
#include "app/browser/file_browser_view_model.h"
#include "app/browser/transfer_error.h"
#include "app/preview/file_preview_view_model.h"
#include "app_test_support.h"
#include "fileops/file_operation_service.h"
#include "host_agent.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using model::FileItem;

QStringList names(const QList<FileItem>& items) {
    QStringList out;
    for (const FileItem& item : items)
        out << item.name;
    return out;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class BrowserAgentTest : public ::testing::Test {
protected:
    BrowserAgentTest() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(stateDir.path()));
        agent.connect(transport);
        browser.connectService(std::make_shared<fileops::FileOperationService>(transport),
                               QStringLiteral("sdb2"), QStringLiteral("card.img"));
    }
    ~BrowserAgentTest() override { qunsetenv("XDG_STATE_HOME"); }

    void setModified(const QString& relative, int daysAgo) {
        const QByteArray path = QFile::encodeName(agent.rootPath(relative));
        const time_t when = time(nullptr) - daysAgo * 86400;
        struct utimbuf times {
            when, when
        };
        ASSERT_EQ(::utime(path.constData(), &times), 0);
    }

    void sortBy(SortOrder order, bool ascending) {
        browser.setSortOrder(order);
        browser.setSortAscending(ascending);
        browser.applyFilterAndSort();
    }

    QTemporaryDir stateDir;
    HostAgent agent;
    guest::VsockTransport transport;
    FileBrowserViewModel browser;
};

TEST_F(BrowserAgentTest, SortsARealListingByEveryKeyInBothDirections) {
    agent.makeDirectory("Music");
    agent.makeDirectory("docs");
    agent.writeFile("b.txt", QByteArray(300, 'b'));
    agent.writeFile("a10.jpg", QByteArray(100, 'a'));
    agent.writeFile("a9.png", QByteArray(300, 'c'));
    agent.writeFile("README", QByteArray(20, 'r'));
    setModified("b.txt", 1);
    setModified("a10.jpg", 3);
    setModified("a9.png", 2);
    setModified("README", 4);
    run(browser.navigateTo("/"));
    ASSERT_FALSE(browser.error()) << browser.error()->toStdString();

    sortBy(SortOrder::name, true);
    EXPECT_EQ(names(browser.files()),
              (QStringList{"docs", "Music", "a9.png", "a10.jpg", "b.txt", "README"}));
    sortBy(SortOrder::name, false);
    EXPECT_EQ(names(browser.files()),
              (QStringList{"Music", "docs", "README", "b.txt", "a10.jpg", "a9.png"}));
    sortBy(SortOrder::size, true);  // a9.png and b.txt tie: listing (name) order
    EXPECT_EQ(names(browser.files()).mid(2), (QStringList{"README", "a10.jpg", "a9.png", "b.txt"}));
    sortBy(SortOrder::size, false);
    EXPECT_EQ(names(browser.files()).mid(2), (QStringList{"b.txt", "a9.png", "a10.jpg", "README"}));
    EXPECT_EQ(names(browser.files()).mid(0, 2), (QStringList{"Music", "docs"}));
    sortBy(SortOrder::date, true);
    EXPECT_EQ(names(browser.files()).mid(2), (QStringList{"README", "a10.jpg", "a9.png", "b.txt"}));
    sortBy(SortOrder::date, false);
    EXPECT_EQ(names(browser.files()).mid(2), (QStringList{"b.txt", "a9.png", "a10.jpg", "README"}));
    sortBy(SortOrder::kind, true);
    EXPECT_EQ(names(browser.files()).mid(2), (QStringList{"README", "a10.jpg", "a9.png", "b.txt"}));
    sortBy(SortOrder::kind, false);
    EXPECT_EQ(names(browser.files()).mid(2), (QStringList{"b.txt", "a9.png", "a10.jpg", "README"}));
}

TEST_F(BrowserAgentTest, SearchThenSelectAllSelectsOnlyWhatIsVisible) {
    agent.writeFile("Holiday.JPG", "x");
    agent.writeFile("holiday-notes.txt", "x");
    agent.writeFile("taxes.pdf", "x");
    run(browser.navigateTo("/"));
    browser.setSearchQuery("HOLIDAY");
    browser.applyFilterAndSort();
    browser.selectAll();
    EXPECT_EQ(browser.selectedFiles(), (QSet<QString>{"/Holiday.JPG", "/holiday-notes.txt"}));
    browser.setSelectedFiles({"/Holiday.JPG", "/taxes.pdf"});
    EXPECT_EQ(names(browser.selectedItems()), QStringList{"Holiday.JPG"});
}

TEST_F(BrowserAgentTest, SearchingAllSubfoldersShowsWhatTheGuestFindsBelowTheFolder) {
    agent.writeFile("Holiday.JPG", "x");
    agent.writeFile("2024/summer/holiday-beach.png", "xx");
    agent.writeFile("2024/winter/HOLIDAY-snow.png", "xxx");
    agent.writeFile("2024/taxes.pdf", "x");
    run(browser.navigateTo("/2024"));
    browser.setSearchQuery("holiday");
    browser.applyFilterAndSort();
    EXPECT_TRUE(browser.files().isEmpty()) << "nothing matches in the folder itself";

    browser.setSearchesSubfolders(true);
    EXPECT_TRUE(browser.showsSearchResults());
    run(browser.searchSubfolders());
    EXPECT_FALSE(browser.isSearching());
    EXPECT_EQ(browser.searchOutcome(), fileops::SearchOutcome::completed);
    QStringList paths;
    for (const FileItem& item : browser.files())
        paths << item.path;
    EXPECT_EQ(paths,
              (QStringList{"/2024/summer/holiday-beach.png", "/2024/winter/HOLIDAY-snow.png"}));
    // Sorted like a listing, and selectable by path.
    sortBy(SortOrder::size, false);
    EXPECT_EQ(names(browser.files()), (QStringList{"HOLIDAY-snow.png", "holiday-beach.png"}));
    browser.selectAll();
    EXPECT_EQ(browser.selectedItems().size(), 2);

    // A change reloads the results too.
    browser.setSelectedFiles({"/2024/winter/HOLIDAY-snow.png"});
    run(browser.deleteSelected());
    ASSERT_TRUE(spinUntil([&] { return !browser.isSearching() && browser.files().size() == 1; }));
    EXPECT_EQ(browser.files().front().path, "/2024/summer/holiday-beach.png");

    // Narrowing filters the results at once; the folder's listing is back when the search is
    // limited to it again.
    browser.setSearchQuery("beachball");
    browser.applyFilterAndSort();
    EXPECT_TRUE(browser.files().isEmpty());
    browser.setSearchQuery(QString());
    browser.applyFilterAndSort();
    EXPECT_FALSE(browser.showsSearchResults());
    EXPECT_EQ(names(browser.files()), (QStringList{"winter", "summer", "taxes.pdf"}))
        << "the listing, sorted by size descending as chosen above";
    browser.setSearchQuery("TAX");
    browser.setSearchesSubfolders(false);
    EXPECT_EQ(names(browser.files()), QStringList{"taxes.pdf"});
}

TEST_F(BrowserAgentTest, ANewSearchOrLeavingTheFolderDropsTheResultsOfTheLastOne) {
    for (int i = 0; i < 1010; ++i)
        agent.writeFile(QStringLiteral("d%1/hit-%2").arg(i / 50).arg(i), "x");
    agent.writeFile("d0/other", "x");
    run(browser.navigateTo("/"));
    browser.setSearchesSubfolders(true);
    browser.setSearchQuery("hit");
    auto first = browser.searchSubfolders();  // runs on while the next one starts
    browser.setSearchQuery("other");
    run(browser.searchSubfolders());
    run(std::move(first));
    EXPECT_EQ(names(browser.files()), QStringList{"other"});
    EXPECT_EQ(browser.searchOutcome(), fileops::SearchOutcome::completed);

    // More than the results shown: the first ones, said to be cut short.
    browser.setSearchQuery("hit");
    run(browser.searchSubfolders());
    EXPECT_EQ(browser.files().size(), qsizetype(FileBrowserViewModel::maxSearchResults));
    EXPECT_EQ(browser.searchOutcome(), fileops::SearchOutcome::truncated);

    browser.clearListing();
    EXPECT_TRUE(browser.files().isEmpty());
    EXPECT_FALSE(browser.isSearching());
}

TEST_F(BrowserAgentTest, NavigationBreadcrumbsAndGoingUp) {
    agent.writeFile("a/b/file.txt", "x");
    run(browser.navigateTo("/a//b/"));
    EXPECT_EQ(browser.currentPath(), "/a//b/");
    EXPECT_EQ(browser.pathComponents().size(), 3);
    EXPECT_EQ(names(browser.files()), QStringList{"file.txt"});
    run(browser.navigateUp());
    EXPECT_EQ(browser.currentPath(), "/a");
    EXPECT_EQ(names(browser.files()), QStringList{"b"});
    run(browser.navigateUp());
    EXPECT_EQ(browser.currentPath(), "/");
    run(browser.navigateUp());
    EXPECT_EQ(browser.currentPath(), "/");
}

TEST_F(BrowserAgentTest, ListingFailures) {
    agent.writeFile("kept.txt", "x");
    run(browser.navigateTo("/"));
    LogCapture logs;
    run(browser.navigateTo("/missing"));
    ASSERT_TRUE(browser.error());
    EXPECT_TRUE(browser.error()->contains("No such file or directory"))
        << browser.error()->toStdString();
    EXPECT_EQ(names(browser.files()), QStringList{"kept.txt"});  // the guest's error keeps the list
    EXPECT_FALSE(browser.isLoading());
    EXPECT_FALSE(logs.lines().filter("Failed to load directory: ").isEmpty());

    agent.kill();  // the guest dies
    run(browser.navigateTo("/"));
    EXPECT_EQ(browser.error(), "Disk disconnected. Please reinsert the SD card.");
    EXPECT_TRUE(browser.files().isEmpty());
    EXPECT_TRUE(logs.contains("Disk disconnected during loadDirectory"));
    // A disk image is not reinserted.
    browser.currentPartition = QStringLiteral("image0p2");
    run(browser.loadDirectory());
    EXPECT_EQ(browser.error(), "Disk disconnected. Please open the disk image again.");

    browser.fileOpService.reset();
    run(browser.loadDirectory());
    EXPECT_EQ(browser.error(), "Not connected to VM");
}

TEST_F(BrowserAgentTest, DeleteWritesTheAuditRecordsFirst) {
    agent.writeFile("old.log", "x");
    agent.writeFile("dir/inner.txt", "x");
    run(browser.navigateTo("/"));
    run(browser.deleteSelected());  // nothing selected: nothing sent, nothing written
    EXPECT_FALSE(QFileInfo::exists(auditLogPath()));
    EXPECT_FALSE(browser.isLoading());

    browser.setSelectedFiles({"/old.log", "/dir"});
    LogCapture logs;
    run(browser.deleteSelected());
    EXPECT_FALSE(QFileInfo::exists(agent.rootPath("old.log")));
    EXPECT_FALSE(QFileInfo::exists(agent.rootPath("dir")));
    EXPECT_TRUE(browser.selectedFiles().isEmpty());
    EXPECT_TRUE(browser.files().isEmpty());
    EXPECT_EQ(auditLogPath(), stateDir.filePath("quorvale/audit.log"));
    const QStringList lines = QString::fromUtf8(readAll(auditLogPath())).split('\n');
    ASSERT_EQ(lines.size(), 3);  // two records and the empty text after the last newline
    EXPECT_EQ(lines[2], "");
    const QRegularExpression format(
        R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] DELETE /(old\.log|dir) on sdb2 \(card\.img\)$)");
    EXPECT_TRUE(format.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(format.match(lines[1]).hasMatch()) << lines[1].toStdString();
    EXPECT_EQ(logs.lines().filter(" DELETE ").size(), 2);

    // A failing delete keeps the selection and has still recorded the attempt.
    browser.setSelectedFiles({"/not-there"});
    EXPECT_THROW(run(browser.deleteSelected()), std::exception);
    EXPECT_FALSE(browser.isLoading());
    EXPECT_EQ(browser.selectedFiles(), QSet<QString>{"/not-there"});
    EXPECT_TRUE(QString::fromUtf8(readAll(auditLogPath())).contains("DELETE /not-there on sdb2"));
}

TEST_F(BrowserAgentTest, EveryChangeIsAuditedBeforeItIsSent) {
    agent.writeFile("old.txt", "old");
    agent.writeFile("keep.txt", "keep");
    run(browser.navigateTo("/"));
    QTemporaryDir local;
    const auto localFile = [&](const QString& name, const QByteArray& bytes) {
        QFile file(local.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    // The user answers Replace for the taken name.
    browser.conflictQuestion = [](fileops::Conflict) -> QCoro::Task<fileops::ConflictAnswer> {
        co_return fileops::ConflictAnswer{fileops::ConflictAction::replace, false};
    };
    run(browser.uploadFiles({localFile("old.txt", "new"), localFile("fresh.txt", "f")}));
    run(browser.createFolder("untitled folder"));
    run(browser.duplicate(browser.files().back()));  // old.txt
    run(browser.fileOpService->rename("/keep.txt", "kept\n.txt", browser.currentPartition));
    run(browser.fileOpService->move("/kept\n.txt", "/untitled folder/k\t\x1b.txt",
                                    browser.currentPartition));
    // A folder upload merging into an existing one replaces a file the listing does not show.
    agent.writeFile("docs/a.txt", "old a");
    ASSERT_TRUE(QDir(local.path()).mkpath("docs"));
    localFile("docs/a.txt", "new a");
    ASSERT_TRUE(QFile::link("a.txt", local.filePath("docs/a-link")));
    run(browser.uploadFiles({local.filePath("docs")}));
    browser.setSelectedFiles({"/fresh.txt"});
    run(browser.deleteSelected());
    // Refused changes are not audited: nothing was sent.
    browser.fileOpService->refuseChanges(QStringLiteral("damaged"));
    EXPECT_THROW(run(browser.createFolder("refused")), std::exception);

    QStringList lines = QString::fromUtf8(readAll(auditLogPath())).split('\n');
    ASSERT_EQ(lines.takeLast(), "");
    for (QString& line : lines) {
        const QRegularExpression stamp(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] )");
        EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
        line.remove(stamp);
    }
    const QStringList expected{"REPLACE /old.txt on sdb2 (card.img)",
                               "WRITE /fresh.txt on sdb2 (card.img)",
                               "NEW FOLDER /untitled folder on sdb2 (card.img)",
                               "COPY /old.txt → /old copy.txt on sdb2 (card.img)",
                               "RENAME /keep.txt → kept\\x0A.txt on sdb2 (card.img)",
                               "MOVE /kept\\x0A.txt → /untitled folder/k\\x09\\x1B.txt on "
                               "sdb2 (card.img)",
                               "LINK /docs/a-link → a.txt on sdb2 (card.img)",
                               "REPLACE /docs/a.txt on sdb2 (card.img)",
                               "DELETE /fresh.txt on sdb2 (card.img)"};
    ASSERT_EQ(lines.size(), expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].toStdString(), expected[i].toStdString());
    EXPECT_EQ(readAll(agent.rootPath("untitled folder/k\t\x1b.txt")), "keep");
    EXPECT_EQ(readAll(agent.rootPath("docs/a.txt")), "new a");
    EXPECT_EQ(readAll(agent.rootPath("old.txt")), "new");
}

TEST_F(BrowserAgentTest, DuplicateAndNewFolder) {
    agent.writeFile("photo.jpg", "jpeg");
    agent.writeFile("docs/archive.tar.gz", "gz");
    run(browser.navigateTo("/"));
    run(browser.duplicate(browser.files().back()));
    EXPECT_EQ(readAll(agent.rootPath("photo copy.jpg")), "jpeg");
    EXPECT_TRUE(names(browser.files()).contains("photo copy.jpg"));
    run(browser.navigateTo("/docs"));
    run(browser.duplicate(browser.files().front()));
    EXPECT_EQ(readAll(agent.rootPath("docs/archive.tar copy.gz")), "gz");

    run(browser.createFolder("untitled folder"));
    EXPECT_TRUE(QFileInfo(agent.rootPath("docs/untitled folder")).isDir());
    EXPECT_TRUE(names(browser.files()).contains("untitled folder"));
    EXPECT_THROW(run(browser.createFolder("untitled folder")), std::exception);
}

TEST_F(BrowserAgentTest, RefusedChangesReachNothingWhileReadsGoOn) {
    agent.writeFile("keep.txt", "keep");
    agent.writeFile("docs/a.txt", "a");
    QTemporaryDir local;
    const QString upload = local.filePath("new.txt");
    QFile file(upload);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("new");
    file.close();
    const QStringList uploads{upload};
    run(browser.navigateTo("/"));
    const QString reason = "The disk image is damaged.";
    browser.fileOpService->refuseChanges(reason);
    const auto refused = [&](QCoro::Task<void> task) {
        try {
            run(std::move(task));
        } catch (const std::exception& error) {
            return QString::fromUtf8(error.what()).contains(reason);
        }
        return false;
    };
    const auto service = browser.fileOpService;
    EXPECT_TRUE(refused(browser.createFolder("new folder")));
    EXPECT_TRUE(refused(browser.duplicate(browser.files().back())));
    EXPECT_TRUE(refused(service->deletePaths({"/keep.txt"})));
    EXPECT_TRUE(refused(
        [&]() -> QCoro::Task<void> { co_await service->rename("/keep.txt", "gone.txt"); }()));
    EXPECT_TRUE(refused(service->writeFile("/w.txt", "w")));
    EXPECT_TRUE(refused([&]() -> QCoro::Task<void> { co_await browser.uploadFiles(uploads); }()));
    EXPECT_EQ(QDir(agent.rootPath("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"docs", "keep.txt"}));
    EXPECT_EQ(readAll(agent.rootPath("keep.txt")), "keep");
    // Browsing and exporting go on.
    run(browser.navigateTo("/docs"));
    EXPECT_EQ(names(browser.files()), QStringList{"a.txt"});
    run([&]() -> QCoro::Task<void> {
        co_await browser.exportItems(browser.files(), local.path());
    }());
    EXPECT_EQ(readAll(local.filePath("a.txt")), "a");
    // Allowed again, a change goes through.
    browser.fileOpService->refuseChanges(std::nullopt);
    run(browser.createFolder("new folder"));
    EXPECT_TRUE(QFileInfo(agent.rootPath("docs/new folder")).isDir());
}

TEST_F(BrowserAgentTest, ExportCopiesFoldersTooAndNeverWritesThroughALink) {
    agent.makeDirectory("one");
    agent.makeDirectory("two");
    agent.writeFile("two/inner.txt", "inner");
    const QByteArray content(200000, 'z');
    agent.writeFile("data.bin", content);
    run(browser.navigateTo("/"));
    QTemporaryDir out;
    // A symlink in the folder with the file's name, pointing outside: kept, not followed; the
    // export keeps both.
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath("victim");
    QFile(victim).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QFile::link(victim, out.filePath("data.bin")));

    std::vector<quint64> progress;
    QObject::connect(&browser, &FileBrowserViewModel::transferChanged, [&] {
        if (browser.isTransferring())
            progress.push_back(browser.transferBytesDone());
    });
    const QStringList written = run(browser.exportItems(browser.files(), out.path())).written;
    EXPECT_EQ(written,
              (QStringList{out.filePath("one"), out.filePath("two"), out.filePath("data 2.bin")}));
    EXPECT_EQ(QDir(out.path())
                  .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System),
              (QStringList{"data 2.bin", "data.bin", "one", "two"}));
    EXPECT_EQ(readAll(out.filePath("two/inner.txt")), "inner");
    EXPECT_TRUE(QFileInfo(out.filePath("data.bin")).isSymLink());
    EXPECT_EQ(readAll(out.filePath("data 2.bin")), content);
    EXPECT_EQ(QFileInfo(victim).size(), 0);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), quint64(content.size() + 5));
    EXPECT_EQ(browser.transferBytesTotal(), quint64(content.size() + 5));
    EXPECT_FALSE(browser.isTransferring());
}

TEST_F(BrowserAgentTest, ExportRefusesNamesThatLeaveTheFolder) {
    agent.writeFile("a.txt", "secret");
    QTemporaryDir out;
    const auto hostile = [](const QString& name) {
        FileItem item;
        item.name = name;
        item.path = item.id = "/a.txt";
        item.size = 6;
        return item;
    };
    for (const QString& name : {QStringLiteral("../escape.txt"), QStringLiteral("..")}) {
        try {
            run(browser.exportItems({hostile(name)}, out.path()));
            ADD_FAILURE() << "exported " << name.toStdString();
        } catch (const TransferError& error) {
            EXPECT_TRUE(QString(error.what()).startsWith("Refusing to export"));
        }
    }
    EXPECT_TRUE(QDir(out.path()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(out.path()).absolutePath() + "/escape.txt"));

    // A NUL from the guest is spelled out, never a place where the name is cut short.
    const QStringList written =
        run(browser.exportItems({hostile(QStringLiteral("x") + QChar(u'\0'))}, out.path())).written;
    EXPECT_EQ(written, QStringList{out.filePath("x\\x00")});
    EXPECT_EQ(QDir(out.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
              QStringList{"x\\x00"});
}

TEST_F(BrowserAgentTest, UploadSkipsAnInaccessibleFileAndUploadsTheRest) {
    QTemporaryDir local;
    const QByteArray content(300000, 'u');
    QFile file(local.filePath("big.bin"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    agent.makeDirectory("in");
    run(browser.navigateTo("/in"));
    LogCapture logs;
    run(browser.uploadFiles({local.filePath("missing.bin"), local.filePath("big.bin")}));
    EXPECT_TRUE(logs.contains("Cannot access: " + local.filePath("missing.bin")));
    EXPECT_TRUE(logs.contains("Uploaded big.bin (300000 bytes)"));
    EXPECT_EQ(readAll(agent.rootPath("in/big.bin")), content);
    EXPECT_EQ(names(browser.files()), QStringList{"big.bin"});  // reloaded
    EXPECT_EQ(browser.transferBytesDone(), quint64(content.size()));

    browser.fileOpService.reset();
    EXPECT_THROW(run(browser.uploadFiles({local.filePath("big.bin")})),
                 fileops::FileOperationError);
}

TEST_F(BrowserAgentTest, PreviewHexDumpsAndTextCutInsideACharacter) {
    QByteArray seventeen;
    for (int i = 0; i < 17; ++i)
        seventeen.append(char(0x80 + i));
    agent.writeFile("small.bin", seventeen);
    agent.writeFile("page.bin", QByteArray(4097, '\x01'));
    agent.writeFile("long.txt", QByteArray(65535, 'a') + "\xc3\xa9tude");
    FilePreviewViewModel preview;
    preview.fileBrowserVM = &browser;
    run(browser.navigateTo("/"));
    const auto item = [&](const QString& name) {
        for (const FileItem& f : browser.files())
            if (f.name == name)
                return f;
        ADD_FAILURE() << "no " << name.toStdString();
        return FileItem();
    };

    run(preview.loadPreview(item("small.bin")));
    QStringList rows = preview.hexDump()->split('\n');
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[1], "00000010  90" + QString(46, ' ') + "  |.|");

    run(preview.loadPreview(item("page.bin")));
    rows = preview.hexDump()->split('\n');
    EXPECT_EQ(rows.size(), 256);
    EXPECT_TRUE(rows.back().startsWith("00000FF0  01"));
    EXPECT_EQ(preview.rawData()->size(), 4096);

    // The preview's 64 KiB end inside the "é": the text shows up to it, not as binary.
    run(preview.loadPreview(item("long.txt")));
    EXPECT_EQ(preview.previewText(), QString(65535, 'a'));
    EXPECT_FALSE(preview.hexDump());
}

}  // namespace
}  // namespace quorvale::app
