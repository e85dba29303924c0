// The browser driven by the keyboard and by the list's headers: arrows (Shift extends), Enter,
// Backspace, Alt+arrows and the navigation buttons, F2, Ctrl+F and Escape, Shift-click ranges,
// sorting by header, and Delete again after a cancelled sheet.

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include "browser_fixture.h"
#include "ui/browser/search_bar.h"
#include "ui/sheets/alert_sheets.h"
#include "ui/sheets/delete_confirmation_sheet.h"
#include "ui/sheets/rename_sheet.h"
#include "vm/qstring_printer.h"

namespace quorvale::test {
namespace {

class BrowserKeysTest : public BrowserTest {
protected:
    QStringList shownNames() const {
        QStringList names;
        for (const model::FileItem& item : view->viewModel()->files())
            names << item.name;
        return names;
    }

    // Presses a key where the keyboard focus is, as the window system would deliver it.
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        ASSERT_TRUE(target);
        QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
        QTest::qWait(10);
    }

    void clickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const QRect rect = view->list()->visualRect(view->itemModel()->index(row, 0));
        QTest::mouseClick(view->list()->viewport(), Qt::LeftButton, modifiers, rect.center());
    }

    void waitForPath(const QString& path) {
        ASSERT_TRUE(testing::spinUntil([&] {
            return view->viewModel()->currentPath() == path && !view->viewModel()->isLoading();
        })) << "at "
            << view->viewModel()->currentPath().toStdString();
        QTest::qWait(30);
    }
};

TEST_F(BrowserKeysTest, ArrowsSelectShiftExtendsAndEnterOpens) {
    agent.makeDirectory("docs");
    agent.writeFile("docs/inner.txt", "i");
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        agent.writeFile(name, "x");
    open();
    appState.setViewMode(app::ViewMode::list);
    QTest::qWait(20);
    clickRow(0);
    EXPECT_EQ(selectedNames(), QSet<QString>{"docs"});
    press(Qt::Key_Down);
    EXPECT_EQ(selectedNames(), QSet<QString>{"a.txt"});
    press(Qt::Key_Down, Qt::ShiftModifier);
    press(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(selectedNames(), (QSet<QString>{"a.txt", "b.txt", "c.txt"}));
    press(Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(selectedNames(), (QSet<QString>{"a.txt", "b.txt"}));
    press(Qt::Key_Home);
    EXPECT_EQ(selectedNames(), QSet<QString>{"docs"});
    EXPECT_EQ(view->statusText(), "4 items   1 selected");

    press(Qt::Key_Return);
    waitForPath("/docs");
    EXPECT_EQ(shownNames(), QStringList{"inner.txt"});
    EXPECT_TRUE(selectedNames().isEmpty());
    // Arrows in the grid move through the tiles too.
    appState.setViewMode(app::ViewMode::grid);
    QTest::qWait(20);
    view->grid()->setFocus();
    press(Qt::Key_Right);
    EXPECT_EQ(selectedNames(), QSet<QString>{"inner.txt"});
}

TEST_F(BrowserKeysTest, BackForwardAndUpByKeysAndButtons) {
    agent.makeDirectory("a");
    agent.makeDirectory("a/b");
    open();
    QAction* back = view->backCommand();
    QAction* forward = view->forwardCommand();
    QAction* up = view->upCommand();
    EXPECT_FALSE(back->isEnabled());
    EXPECT_FALSE(forward->isEnabled());
    EXPECT_FALSE(up->isEnabled());

    view->grid()->setFocus();
    clickTile(0);
    press(Qt::Key_Return);
    waitForPath("/a");
    clickTile(0);
    press(Qt::Key_Return);
    waitForPath("/a/b");
    EXPECT_TRUE(back->isEnabled());
    EXPECT_TRUE(up->isEnabled());
    EXPECT_EQ(appState.currentPath(), "/a/b");

    press(Qt::Key_Left, Qt::AltModifier);
    waitForPath("/a");
    EXPECT_TRUE(forward->isEnabled());
    press(Qt::Key_Left, Qt::AltModifier);
    waitForPath("/");
    EXPECT_FALSE(back->isEnabled());
    press(Qt::Key_Right, Qt::AltModifier);
    waitForPath("/a");
    press(Qt::Key_Right, Qt::AltModifier);
    waitForPath("/a/b");
    EXPECT_FALSE(forward->isEnabled());

    press(Qt::Key_Backspace);
    waitForPath("/a");
    press(Qt::Key_Up, Qt::AltModifier);
    waitForPath("/");
    // Going up is a step of its own: Back returns to /a.
    press(Qt::Key_Left, Qt::AltModifier);
    waitForPath("/a");

    // The toolbar buttons run the same commands.
    const QList<QToolButton*> buttons = view->findChildren<QToolButton*>();
    const auto buttonFor = [&](QAction* action) -> QToolButton* {
        for (QToolButton* button : buttons)
            if (button->defaultAction() == action)
                return button;
        return nullptr;
    };
    ASSERT_TRUE(buttonFor(up) && buttonFor(back) && buttonFor(forward));
    QTest::mouseClick(buttonFor(up), Qt::LeftButton);
    waitForPath("/");
    QTest::mouseClick(buttonFor(back), Qt::LeftButton);
    waitForPath("/a");
    QTest::mouseClick(buttonFor(forward), Qt::LeftButton);
    waitForPath("/");
    EXPECT_FALSE(buttonFor(up)->isEnabled());
}

TEST_F(BrowserKeysTest, SearchFieldKeysStayInTheField) {
    agent.makeDirectory("a");
    agent.writeFile("a/notes.txt", "n");
    agent.writeFile("a/photo.png", "p");
    open();
    clickTile(0);
    view->grid()->setFocus();
    press(Qt::Key_Return);
    waitForPath("/a");

    press(Qt::Key_F, Qt::ControlModifier);
    QLineEdit* field = view->searchBar()->field();
    EXPECT_TRUE(field->hasFocus());
    QTest::keyClicks(field, "notx");
    press(Qt::Key_Backspace);  // edits the query, does not go up
    EXPECT_EQ(field->text(), "not");
    EXPECT_EQ(view->viewModel()->currentPath(), "/a");
    ASSERT_TRUE(testing::spinUntil([&] { return shownNames() == QStringList{"notes.txt"}; }));

    press(Qt::Key_Escape);
    EXPECT_EQ(field->text(), "");
    EXPECT_EQ(view->viewModel()->searchQuery(), "");
    ASSERT_TRUE(testing::spinUntil([&] { return shownNames().size() == 2; }));
}

TEST_F(BrowserKeysTest, EntriesHiddenBySearchLeaveTheSelection) {
    for (const char* name : {"alpha.txt", "beta.txt", "alps.png"})
        agent.writeFile(name, "x");
    open();
    view->grid()->setFocus();
    press(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(selectedNames().size(), 3);
    view->searchBar()->setText("al");
    ASSERT_TRUE(testing::spinUntil([&] { return shownNames().size() == 2; }));
    EXPECT_EQ(view->viewModel()->selectedFiles(), (QSet<QString>{"/alpha.txt", "/alps.png"}));
    EXPECT_EQ(view->statusText(), "2 items   2 selected");
    // Clearing the search does not bring the hidden entry back into the selection.
    view->searchBar()->setText("");
    ASSERT_TRUE(testing::spinUntil([&] { return shownNames().size() == 3; }));
    EXPECT_EQ(selectedNames(), (QSet<QString>{"alpha.txt", "alps.png"}));
    // Escape outside the field clears the selection.
    view->grid()->setFocus();
    press(Qt::Key_Escape);
    EXPECT_TRUE(selectedNames().isEmpty());
}

TEST_F(BrowserKeysTest, ShiftClickSelectsARangeInBothViews) {
    for (const char* name : {"a", "b", "c", "d", "e"})
        agent.writeFile(name, "x");
    open();
    clickTile(1);
    clickTile(3, Qt::ShiftModifier);
    EXPECT_EQ(selectedNames(), (QSet<QString>{"b", "c", "d"}));
    clickTile(0, Qt::ShiftModifier);  // the anchor stays on b
    EXPECT_EQ(selectedNames(), (QSet<QString>{"a", "b"}));

    appState.setViewMode(app::ViewMode::list);
    QTest::qWait(20);
    clickRow(4);
    clickRow(2, Qt::ShiftModifier);
    EXPECT_EQ(selectedNames(), (QSet<QString>{"c", "d", "e"}));
    clickRow(0, Qt::ControlModifier);
    EXPECT_EQ(selectedNames(), (QSet<QString>{"a", "c", "d", "e"}));
}

TEST_F(BrowserKeysTest, F2RenamesOneSelectedEntryAndSelectsItAfterwards) {
    agent.writeFile("a.txt", "x");
    agent.writeFile("b.txt", "y");
    open();
    view->grid()->setFocus();
    press(Qt::Key_A, Qt::ControlModifier);
    press(Qt::Key_F2);
    EXPECT_FALSE(view->findChild<ui::RenameSheet*>()) << "no rename for two entries";

    clickTile(0);
    press(Qt::Key_F2);
    auto* sheet = view->findChild<ui::RenameSheet*>();
    ASSERT_TRUE(sheet);
    sheet->nameField()->setText("z.txt");
    QTest::keyClick(sheet->nameField(), Qt::Key_Return);
    ASSERT_TRUE(testing::spinUntil([&] { return shownNames() == QStringList{"b.txt", "z.txt"}; }));
    ASSERT_TRUE(testing::spinUntil([&] { return !selectedNames().isEmpty(); }));
    EXPECT_EQ(selectedNames(), QSet<QString>{"z.txt"});
}

TEST_F(BrowserKeysTest, HeaderClicksSortAndClickingAgainReverses) {
    agent.writeFile("big.bin", QByteArray(3000, 'b'));
    agent.writeFile("small.txt", "s");
    agent.writeFile("mid.dat", QByteArray(200, 'm'));
    agent.makeDirectory("zfolder");
    open();
    appState.setViewMode(app::ViewMode::list);
    QTest::qWait(20);
    QHeaderView* header = view->list()->horizontalHeader();
    const auto clickHeader = [&](int section) {
        const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(x, header->height() / 2));
        QTest::qWait(20);
    };
    EXPECT_EQ(shownNames(), (QStringList{"zfolder", "big.bin", "mid.dat", "small.txt"}));
    EXPECT_EQ(header->sortIndicatorSection(), int(ui::FileItemModel::name));

    clickHeader(ui::FileItemModel::size);
    EXPECT_EQ(appState.sortOrder(), app::SortOrder::size);
    EXPECT_TRUE(appState.sortAscending());
    EXPECT_EQ(shownNames(), (QStringList{"zfolder", "small.txt", "mid.dat", "big.bin"}));
    EXPECT_EQ(header->sortIndicatorSection(), int(ui::FileItemModel::size));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);

    clickHeader(ui::FileItemModel::size);
    EXPECT_FALSE(appState.sortAscending());
    EXPECT_EQ(shownNames(), (QStringList{"zfolder", "big.bin", "mid.dat", "small.txt"}));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);

    // A column without a sort key leaves the order and the arrow where they were.
    clickHeader(ui::FileItemModel::owner);
    EXPECT_EQ(appState.sortOrder(), app::SortOrder::size);
    EXPECT_EQ(header->sortIndicatorSection(), int(ui::FileItemModel::size));

    clickHeader(ui::FileItemModel::name);
    EXPECT_EQ(appState.sortOrder(), app::SortOrder::name);
    EXPECT_TRUE(appState.sortAscending());
    // Sorting by kind (from the View menu) hides the arrow.
    appState.setSortOrder(app::SortOrder::kind);
    EXPECT_FALSE(header->isSortIndicatorShown());
    EXPECT_EQ(shownNames(), (QStringList{"zfolder", "big.bin", "mid.dat", "small.txt"}));
}

TEST_F(BrowserKeysTest, DeleteWorksAgainAfterACancelledSheet) {
    agent.writeFile("a.txt", "x");
    open();
    ui::AlertSheetPresenter presenter(appState, view.get());
    presenter.setDeleteSheetFactory(ui::DeleteConfirmationSheet::presenterFactory(appState));
    clickTile(0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        press(Qt::Key_Delete);
        ASSERT_TRUE(testing::spinUntil([&] { return presenter.currentSheet() != nullptr; }))
            << "attempt " << attempt;
        QDialog* sheet = presenter.currentSheet();
        ASSERT_TRUE(QTest::qWaitForWindowActive(sheet));
        QTest::keyClick(sheet, Qt::Key_Escape);
        ASSERT_TRUE(testing::spinUntil([&] { return !appState.activeAlert(); }));
        QTest::qWait(30);
    }
    EXPECT_TRUE(QFile::exists(agent.rootPath("a.txt")));
}

}  // namespace
}  // namespace quorvale::test
