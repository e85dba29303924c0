// What the browser says and does after an action: New Folder opens the new name for typing,
// finished or cancelled transfers leave a notice, and "Show in File Manager" opens the folder.

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "browser_fixture.h"
#include "ui/browser/completion_notice.h"
#include "ui/browser/transfer_progress.h"
#include "ui/common/screenshot.h"
#include "ui/sheets/conflict_sheet.h"
#include "vm/qstring_printer.h"

namespace quorvale::test {
namespace {

// Receives the URLs the app asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

class BrowserFeedbackTest : public BrowserTest {
protected:
    QByteArray onCard(const QString& name) const {
        QFile file(agent.rootPath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    QStringList shownNames() const {
        QStringList names;
        for (const model::FileItem& item : view->viewModel()->files())
            names << item.name;
        return names;
    }

    QLineEdit* nameEditor() const { return qobject_cast<QLineEdit*>(QApplication::focusWidget()); }
};

TEST_F(BrowserFeedbackTest, NewFolderOpensItsNameForTyping) {
    agent.writeFile("a.txt", "x");
    open();
    view->grid()->setFocus();
    QTest::keyClick(view->grid(), Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(testing::spinUntil([&] { return nameEditor() != nullptr; }));
    EXPECT_EQ(selectedNames(), QSet<QString>{"untitled folder"});
    EXPECT_EQ(nameEditor()->text(), "untitled folder");
    saveScreenshot(*view, "browser_new_folder_naming");
    nameEditor()->selectAll();
    QTest::keyClicks(nameEditor(), "Photos");
    QTest::keyClick(nameEditor(), Qt::Key_Return);
    ASSERT_TRUE(testing::spinUntil([&] { return shownNames().contains("Photos"); }));
    EXPECT_FALSE(shownNames().contains("untitled folder"));
    ASSERT_TRUE(testing::spinUntil([&] { return selectedNames() == QSet<QString>{"Photos"}; }));

    // Escape keeps the name given; the next folder takes the next free name.
    view->grid()->setFocus();
    QTest::keyClick(view->grid(), Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(testing::spinUntil([&] { return nameEditor() != nullptr; }));
    QTest::keyClick(nameEditor(), Qt::Key_Escape);
    QTest::qWait(30);
    view->grid()->setFocus();
    QTest::keyClick(view->grid(), Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(testing::spinUntil([&] { return nameEditor() != nullptr; }));
    EXPECT_EQ(nameEditor()->text(), "untitled folder 2");
    EXPECT_EQ(selectedNames(), QSet<QString>{"untitled folder 2"});
    QTest::keyClick(nameEditor(), Qt::Key_Escape);
    EXPECT_TRUE(QFileInfo(agent.rootPath("untitled folder")).isDir());
    EXPECT_TRUE(QFileInfo(agent.rootPath("untitled folder 2")).isDir());
    EXPECT_FALSE(appState.activeAlert());
}

TEST_F(BrowserFeedbackTest, FinishedExportSaysSoAndShowsTheFolder) {
    agent.writeFile("a.txt", "alpha");
    agent.writeFile("b.txt", "beta");
    open();
    QTemporaryDir target;
    UrlCatcher catcher;
    view->grid()->setFocus();
    QTest::keyClick(view->grid(), Qt::Key_A, Qt::ControlModifier);
    testing::run(view->exportTo(view->viewModel()->selectedItems(), target.path()));
    ui::CompletionNotice* notice = view->completionNotice();
    ASSERT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->text(), "Exported 2 files to " + QFileInfo(target.path()).fileName());
    ASSERT_TRUE(notice->revealButton()->isVisible());
    saveScreenshot(*view, "browser_export_done");
    QTest::mouseClick(notice->revealButton(), Qt::LeftButton);
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened.first(), QUrl::fromLocalFile(target.path()));
    QTest::mouseClick(notice->closeButton(), Qt::LeftButton);
    EXPECT_FALSE(notice->isVisible());
}

TEST_F(BrowserFeedbackTest, TakenNamesAreAskedAboutOnceWithApplyToAll) {
    agent.writeFile("a.txt", "old a");
    agent.writeFile("b.txt", "old b");
    agent.writeFile("c.txt", "old c");
    QTemporaryDir local;
    QStringList paths;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        QFile file(local.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("new ") + name[0]);
        paths << file.fileName();
    }
    open();
    // a.txt: Replace; b.txt: Keep Both for all that follow (c.txt is not asked about).
    QStringList asked;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* sheet = view->findChild<ui::ConflictSheet*>();
        if (!sheet || !sheet->isVisible() || sheet->result() != 0)
            return;
        asked << sheet->findChild<QLabel*>()->text();
        if (asked.size() == 1) {
            EXPECT_EQ(asked[0], "An item named “a.txt” already exists in “Root”.");
            sheet->button(fileops::ConflictAction::replace)->click();
        } else {
            sheet->applyToAllBox()->setChecked(true);
            sheet->button(fileops::ConflictAction::keepBoth)->click();
        }
    });
    answer.start(20);
    testing::run(view->upload(paths));
    answer.stop();
    EXPECT_EQ(asked.size(), 2);
    EXPECT_EQ(onCard("a.txt"), "new a");
    EXPECT_EQ(onCard("b.txt"), "old b");
    EXPECT_EQ(onCard("b 2.txt"), "new b");
    EXPECT_EQ(onCard("c 2.txt"), "new c");
    EXPECT_EQ(shownNames(), (QStringList{"a.txt", "b 2.txt", "b.txt", "c 2.txt", "c.txt"}));
}

TEST_F(BrowserFeedbackTest, CancelledUploadSaysWhatWasKept) {
    QTemporaryDir local;
    QStringList paths;
    for (const auto& [name, size] : {std::pair{"a.bin", 10}, {"b.bin", 20}, {"c.bin", 4 << 20}}) {
        QFile file(local.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, 'x'));
        paths << file.fileName();
    }
    open();
    // Cancel as the third file starts, the way its strip's Cancel button would.
    QObject guard;
    QObject::connect(view->viewModel(), &app::FileBrowserViewModel::transferChanged, &guard, [&] {
        if (view->viewModel()->transferCurrentFile() == "c.bin")
            QTest::mouseClick(view->transferProgress()->cancelButton(), Qt::LeftButton);
    });
    testing::run(view->upload(paths));
    ui::CompletionNotice* notice = view->completionNotice();
    ASSERT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->text(),
              "Upload cancelled: 2 of 3 files were uploaded to Root. The file in "
              "progress was not kept.");
    EXPECT_FALSE(notice->revealButton()->isVisible());
    EXPECT_TRUE(QFile::exists(agent.rootPath("a.bin")));
    EXPECT_TRUE(QFile::exists(agent.rootPath("b.bin")));
    EXPECT_FALSE(QFile::exists(agent.rootPath("c.bin")));
    EXPECT_EQ(shownNames(), (QStringList{"a.bin", "b.bin"}));
}

TEST_F(BrowserFeedbackTest, DoubleClickOrEnterOpensAFileWithTheDesktopsApplication) {
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    agent.writeFile("notes.txt", "hello");
    agent.makeDirectory("docs");
    open();
    UrlCatcher catcher;
    QTest::mouseDClick(view->grid()->viewport(), Qt::LeftButton, Qt::NoModifier, tileCenter(1));
    ASSERT_TRUE(testing::spinUntil([&] { return !catcher.opened.isEmpty(); }));
    const QString opened = catcher.opened.first().toLocalFile();
    EXPECT_EQ(QFileInfo(opened).fileName(), "notes.txt");
    EXPECT_TRUE(opened.startsWith(ui::FileBrowserView::openedFilesFolder() + "/"));
    EXPECT_TRUE(opened.startsWith(cache.path()));
    QFile copy(opened);
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), "hello");
    // A folder of its own that only this account can read.
    EXPECT_FALSE(QFileInfo(QFileInfo(opened).path()).permissions() &
                 (QFileDevice::ReadGroup | QFileDevice::ReadOther));
    EXPECT_EQ(view->viewModel()->currentPath(), "/");

    // Enter on the selected file opens it again, in another folder: the first copy may be in use.
    clickTile(1);
    view->grid()->setFocus();
    QTest::keyClick(view->grid(), Qt::Key_Return);
    ASSERT_TRUE(testing::spinUntil([&] { return catcher.opened.size() == 2; }));
    EXPECT_NE(catcher.opened[1], catcher.opened[0]);
    EXPECT_EQ(view->viewModel()->currentPath(), "/");
    EXPECT_FALSE(appState.activeAlert());

    // A file gone from the card says why it did not open.
    QFile::remove(agent.rootPath("notes.txt"));
    EXPECT_FALSE(testing::run(view->openFile(view->itemModel()->item(1))));
    ASSERT_TRUE(appState.activeAlert());
    EXPECT_TRUE(appState.activeAlert()->message.startsWith("Open failed: "));
    EXPECT_EQ(catcher.opened.size(), 2);
    qunsetenv("XDG_CACHE_HOME");
}

}  // namespace
}  // namespace quorvale::test

#include "browser_feedback_test.moc"
