// Searching all subfolders from the search field over the real agent: the switch, the results'
// folders in the list and under the tiles, the status line, opening a result, Show in Folder,
// and entries the disk-usage sheet asks the browser to show.

#include <QAction>
#include <QLineEdit>
#include <QToolButton>

#include "browser_fixture.h"
#include "ui/browser/search_bar.h"
#include "ui/common/screenshot.h"
#include "vm/qstring_printer.h"

namespace quorvale::test {
namespace {

class BrowserSearchTest : public BrowserTest {
protected:
    BrowserSearchTest() {
        agent.writeFile("photos/2023/beach.jpg", "jpeg");
        agent.writeFile("photos/2024/Beach-day.png", "png!");
        agent.writeFile("docs/beach-notes.txt", "n");
        agent.writeFile("docs/other.txt", "o");
        agent.writeFile("beach/readme.md", "r");
    }

    QStringList shownPaths() const {
        QStringList paths;
        for (const model::FileItem& item : view->viewModel()->files())
            paths << item.path;
        return paths;
    }
    int rowOf(const QString& path) const { return view->itemModel()->rowOf(path); }
    void waitForResults(qsizetype count) {
        ASSERT_TRUE(testing::spinUntil([&] {
            return !view->viewModel()->isSearching() && view->viewModel()->files().size() == count;
        })) << shownPaths().join(' ').toStdString();
        QTest::qWait(30);
    }
    void waitForPath(const QString& path) {
        ASSERT_TRUE(testing::spinUntil([&] {
            return view->viewModel()->currentPath() == path && !view->viewModel()->isLoading();
        }));
        QTest::qWait(30);
    }
};

TEST_F(BrowserSearchTest, TheSwitchSearchesEveryFolderBelowAndShowsWhereEachResultIs) {
    open();
    appState.setViewMode(app::ViewMode::list);
    ui::SearchBar* bar = view->searchBar();
    EXPECT_FALSE(bar->subfoldersButton()->isVisible()) << "offered once there is a text";
    bar->field()->setFocus();
    QTest::keyClicks(bar->field(), "BEACH");
    ASSERT_TRUE(bar->subfoldersButton()->isVisible());
    waitForResults(1);
    EXPECT_EQ(shownPaths(), QStringList{"/beach"}) << "the folder's own listing first";
    EXPECT_TRUE(view->list()->isColumnHidden(ui::FileItemModel::folder));

    QTest::mouseClick(bar->subfoldersButton(), Qt::LeftButton);
    waitForResults(4);
    const QStringList results = shownPaths();
    EXPECT_EQ(QSet<QString>(results.begin(), results.end()),
              (QSet<QString>{"/beach", "/photos/2023/beach.jpg", "/photos/2024/Beach-day.png",
                             "/docs/beach-notes.txt"}));
    EXPECT_EQ(view->statusText(), "4 results in all subfolders");
    EXPECT_FALSE(view->list()->isColumnHidden(ui::FileItemModel::folder));
    const QModelIndex folder =
        view->itemModel()->index(rowOf("/photos/2023/beach.jpg"), ui::FileItemModel::folder);
    EXPECT_EQ(folder.data().toString(), "/photos/2023");
    EXPECT_EQ(view->itemModel()
                  ->headerData(ui::FileItemModel::folder, Qt::Horizontal, Qt::DisplayRole)
                  .toString(),
              "Folder");
    saveScreenshot(*view, "browser_search_subfolders_list", {1000, 600});
    appState.setViewMode(app::ViewMode::grid);
    QTest::qWait(30);
    EXPECT_EQ(view->itemModel()
                  ->index(rowOf("/docs/beach-notes.txt"), 0)
                  .data(ui::FileItemModel::secondaryTextRole)
                  .toString(),
              "in /docs");
    saveScreenshot(*view, "browser_search_subfolders_grid", {1000, 600});

    // Typing more narrows the results; nothing found says so.
    QTest::keyClicks(bar->field(), "-d");
    waitForResults(1);
    EXPECT_EQ(shownPaths(), QStringList{"/photos/2024/Beach-day.png"});
    EXPECT_EQ(view->statusText(), "1 result in all subfolders");
    QTest::keyClicks(bar->field(), "zzz");
    waitForResults(0);
    EXPECT_EQ(view->content(), ui::FileBrowserView::Content::noResults);

    // A folder among the results opens whole, without the search.
    bar->setText("beach");
    waitForResults(4);
    QTest::mouseDClick(view->grid()->viewport(), Qt::LeftButton, {}, tileCenter(rowOf("/beach")));
    waitForPath("/beach");
    EXPECT_EQ(bar->text(), "");
    waitForResults(1);
    EXPECT_EQ(shownPaths(), QStringList{"/beach/readme.md"});
}

TEST_F(BrowserSearchTest, ShowInFolderAndTheDiskUsageSheetLeadToTheEntryItself) {
    open();
    view->searchBar()->setSearchesSubfolders(true);
    view->searchBar()->setText("notes");
    waitForResults(1);
    const model::FileItem notes = view->viewModel()->files().front();
    QMenu* menu = view->entryMenu(notes);
    ASSERT_TRUE(texts(menu).contains("Show in Folder")) << texts(menu).join(", ").toStdString();
    for (QAction* action : menu->actions())
        if (action->text() == "Show in Folder")
            action->trigger();
    waitForPath("/docs");
    EXPECT_EQ(view->searchBar()->text(), "");
    EXPECT_EQ(selectedNames(), QSet<QString>{"beach-notes.txt"});
    EXPECT_FALSE(texts(view->entryMenu(notes)).contains("Show in Folder")) << "not a result now";

    appState.requestShowEntry("/photos", true);
    waitForPath("/photos");
    appState.requestShowEntry("/docs/other.txt", false);
    waitForPath("/docs");
    EXPECT_EQ(selectedNames(), QSet<QString>{"other.txt"});
}

}  // namespace
}  // namespace quorvale::test
