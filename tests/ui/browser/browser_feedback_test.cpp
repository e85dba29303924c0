// What the browser says and does after an action: New Folder opens the new name for typing,
// finished or cancelled transfers leave a notice, and "Show in File Manager" opens the folder.

#include <QDesktopServices>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>

#include "browser_fixture.h"
#include "ui/browser/completion_notice.h"
#include "ui/browser/transfer_progress.h"
#include "ui/common/screenshot.h"
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

}  // namespace
}  // namespace quorvale::test

#include "browser_feedback_test.moc"
