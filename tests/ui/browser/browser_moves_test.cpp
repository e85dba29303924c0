// Moving and copying entries inside the card from the browser: Ctrl+X, Ctrl+C and Ctrl+V typed
// on the grid, the menus' entries, entries dropped onto a folder or a crumb, and the refusal
// of a folder pasted into its own subfolder.

#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QPushButton>

#include "browser_fixture.h"
#include "ui/browser/breadcrumb_bar.h"
#include "ui/browser/completion_notice.h"

namespace quorvale::test {
namespace {

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
}

class BrowserMovesTest : public BrowserTest {
protected:
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        ASSERT_TRUE(target);
        QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
        QTest::qWait(10);
    }

    int rowOf(const QString& name) const {
        const QList<model::FileItem> files = view->viewModel()->files();
        for (int row = 0; row < files.size(); ++row)
            if (files[row].name == name)
                return row;
        return -1;
    }

    void clickName(const QString& name) {
        const int row = rowOf(name);
        ASSERT_GE(row, 0) << name.toStdString();
        clickTile(row);
    }

    void openFolder(const QString& name) {
        clickName(name);
        press(Qt::Key_Return);
        ASSERT_TRUE(testing::spinUntil([&] {
            return view->viewModel()->currentPath().endsWith("/" + name) &&
                   !view->viewModel()->isLoading();
        }));
        QTest::qWait(30);
    }

    // Drags `names` of the folder shown and drops them at `at` (in the view's coordinates).
    bool dropAt(const QStringList& names, const QPoint& at,
                Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QList<model::FileItem> dragged;
        for (const model::FileItem& item : view->viewModel()->files())
            if (names.contains(item.name))
                dragged << item;
        std::unique_ptr<QMimeData> data(view->dragData(dragged));
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton,
                              modifiers);
        QCoreApplication::sendEvent(view.get(), &enter);
        QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton,
                            modifiers);
        QCoreApplication::sendEvent(view.get(), &move);
        if (!move.isAccepted())
            return false;
        QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton, modifiers);
        QCoreApplication::sendEvent(view.get(), &drop);
        return drop.isAccepted();
    }

    QPoint tileInView(const QString& name) const {
        return view->grid()->viewport()->mapTo(view.get(), tileCenter(rowOf(name)));
    }

    void waitForNotice(const QString& text) {
        EXPECT_TRUE(testing::spinUntil([&] { return view->completionNotice()->text() == text; }))
            << view->completionNotice()->text().toStdString();
    }
};

TEST_F(BrowserMovesTest, CutCopyAndPasteByKeys) {
    agent.writeFile("photos/2020/a.jpg", "a");
    agent.writeFile("notes.txt", "notes");
    agent.makeDirectory("archive");
    open();
    view->grid()->setFocus();
    clickName("photos");
    press(Qt::Key_X, Qt::ControlModifier);
    openFolder("archive");
    press(Qt::Key_V, Qt::ControlModifier);
    waitForNotice("Moved “photos” to archive.");
    EXPECT_EQ(entries(agent.root()), (QStringList{"archive", "notes.txt"}));
    EXPECT_EQ(entries(agent.rootPath("archive/photos/2020")), QStringList{"a.jpg"});
    EXPECT_EQ(selectedNames(), QSet<QString>{"photos"});
    // The cut is used up: pasting again does nothing.
    EXPECT_FALSE(view->viewModel()->clipboard());
    press(Qt::Key_V, Qt::ControlModifier);

    press(Qt::Key_Backspace);
    ASSERT_TRUE(testing::spinUntil([&] { return view->viewModel()->currentPath() == "/"; }));
    waitForListing();
    clickName("notes.txt");
    press(Qt::Key_C, Qt::ControlModifier);
    press(Qt::Key_V, Qt::ControlModifier);
    waitForNotice("Copied “notes 2.txt” to /.");
    press(Qt::Key_V, Qt::ControlModifier);
    waitForNotice("Copied “notes 3.txt” to /.");
    EXPECT_EQ(entries(agent.root()),
              (QStringList{"archive", "notes 2.txt", "notes 3.txt", "notes.txt"}));
    EXPECT_FALSE(appState.activeAlert());
}

TEST_F(BrowserMovesTest, AFolderPastedIntoItsOwnSubfolderIsRefused) {
    agent.writeFile("photos/2020/a.jpg", "a");
    open();
    view->grid()->setFocus();
    clickName("photos");
    press(Qt::Key_X, Qt::ControlModifier);
    openFolder("photos");
    openFolder("2020");
    press(Qt::Key_V, Qt::ControlModifier);
    ASSERT_TRUE(testing::spinUntil([&] { return appState.activeAlert().has_value(); }));
    EXPECT_EQ(appState.activeAlert()->message,
              "Cannot move the folder “photos” into its own subfolder “2020”.");
    EXPECT_EQ(entries(agent.root()), QStringList{"photos"});
    EXPECT_EQ(entries(agent.rootPath("photos/2020")), QStringList{"a.jpg"});
    // Still on the clipboard: it may be pasted somewhere else.
    EXPECT_TRUE(view->viewModel()->clipboard());
}

TEST_F(BrowserMovesTest, MenusOfferCutCopyAndPasteIntoAFolder) {
    agent.makeDirectory("docs");
    agent.writeFile("a.txt", "a");
    open();
    const model::FileItem docs = view->viewModel()->files().at(rowOf("docs"));
    const model::FileItem file = view->viewModel()->files().at(rowOf("a.txt"));
    std::unique_ptr<QMenu> menu(view->entryMenu(file));
    EXPECT_TRUE(texts(menu.get()).contains("Cut"));
    EXPECT_TRUE(texts(menu.get()).contains("Copy"));
    menu.reset(view->entryMenu(docs));
    EXPECT_FALSE(texts(menu.get()).contains("Paste Into Folder"));
    // Copy from the file's menu, then paste into the folder from the folder's.
    menu.reset(view->entryMenu(file));
    for (QAction* action : menu->actions())
        if (action->text() == "Copy")
            action->trigger();
    menu.reset(view->entryMenu(docs));
    QAction* pasteInto = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == "Paste Into Folder")
            pasteInto = action;
    ASSERT_TRUE(pasteInto);
    pasteInto->trigger();
    waitForNotice("Copied “a.txt” to docs.");
    EXPECT_EQ(entries(agent.rootPath("docs")), QStringList{"a.txt"});
    // The browser's menu pastes into the folder shown, and the Edit menu has the same actions.
    menu.reset(view->browserMenu());
    EXPECT_TRUE(texts(menu.get()).contains("Paste"));
    QStringList edit;
    for (QAction* action : view->editActions())
        edit << action->text();
    EXPECT_EQ(edit, (QStringList{"Cut", "Copy", "Paste", "Upload Files…", "Upload Folder…"}));
}

TEST_F(BrowserMovesTest, EntriesDroppedOntoAFolderOrACrumbMoveThere) {
    agent.writeFile("photos/2020/a.jpg", "a");
    agent.writeFile("notes.txt", "n");
    agent.writeFile("todo.txt", "t");
    agent.makeDirectory("docs");
    open();
    // Onto one of the dragged entries, or onto the folder they are in: refused.
    EXPECT_FALSE(dropAt({"photos"}, tileInView("photos")));
    EXPECT_FALSE(dropAt({"notes.txt"}, tileInView("todo.txt")));
    EXPECT_TRUE(dropAt({"notes.txt", "photos"}, tileInView("docs")));
    waitForNotice("Moved 2 items to docs.");
    EXPECT_EQ(entries(agent.rootPath("docs")), (QStringList{"notes.txt", "photos"}));
    // Ctrl copies, even entries that wait on the clipboard as a cut.
    view->viewModel()->setSelectedFiles({"/todo.txt"});
    view->cutSelection();
    EXPECT_TRUE(dropAt({"todo.txt"}, tileInView("docs"), Qt::ControlModifier));
    waitForNotice("Copied “todo.txt” to docs.");
    EXPECT_EQ(entries(agent.root()), (QStringList{"docs", "todo.txt"}));

    // From a subfolder back up onto the "Root" crumb.
    view->grid()->setFocus();
    openFolder("docs");
    QPushButton* root = nullptr;
    for (QPushButton* crumb : view->breadcrumbs()->findChildren<QPushButton*>("crumb"))
        if (crumb->text() == "Root")
            root = crumb;
    ASSERT_TRUE(root);
    EXPECT_TRUE(dropAt({"notes.txt"}, root->mapTo(view.get(), root->rect().center())));
    waitForNotice("Moved “notes.txt” to /.");
    EXPECT_EQ(entries(agent.root()), (QStringList{"docs", "notes.txt", "todo.txt"}));
    EXPECT_FALSE(appState.activeAlert());
}

TEST_F(BrowserMovesTest, ADragHandsOutFilesOnlyWhenATargetAsks) {
    agent.writeFile("notes.txt", "the notes");
    agent.writeFile("folder/inside.txt", "inside");
    open();
    std::unique_ptr<QMimeData> data(view->dragData(view->viewModel()->files()));
    // Offered, but nothing is exported before a drop target asks.
    EXPECT_TRUE(data->hasUrls());
    EXPECT_FALSE(view->viewModel()->isTransferring());
    const QList<QUrl> urls = data->urls();
    ASSERT_EQ(urls.size(), 2);
    QStringList names;
    for (const QUrl& url : urls)
        names << QFileInfo(url.toLocalFile()).fileName();
    names.sort();
    EXPECT_EQ(names, (QStringList{"folder", "notes.txt"}));
    for (const QUrl& url : urls) {
        QFile file(url.toLocalFile() + (url.fileName() == "folder" ? "/inside.txt" : ""));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), url.fileName() == "folder" ? "inside" : "the notes");
    }
    // Asked again for the same drop, the same files (no second export).
    EXPECT_EQ(data->urls(), urls);
}

}  // namespace
}  // namespace quorvale::test
