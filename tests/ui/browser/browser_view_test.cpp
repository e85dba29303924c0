// The browser against the real agent: content states, selection by mouse and keyboard, the
// menus and the selection bar, rename, export and the delete request.

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include "browser_fixture.h"
#include "ui/browser/search_bar.h"
#include "ui/browser/selection_action_bar.h"
#include "ui/common/loading_overlay.h"
#include "ui/sheets/rename_sheet.h"

namespace quorvale::test {
namespace {

using Content = ui::FileBrowserView::Content;

TEST_F(BrowserTest, EmptyFolderThenSearchWithoutMatchThenClear) {
    open();
    EXPECT_EQ(view->content(), Content::empty);
    EXPECT_EQ(view->emptyText(), "This folder is empty");
    EXPECT_EQ(view->statusText(), "0 items");

    agent.writeFile("notes.txt", "hello");
    agent.makeDirectory("photos");
    refresh();
    EXPECT_EQ(view->content(), Content::grid);
    EXPECT_EQ(view->statusText(), "2 items");

    QTest::keyClicks(view->searchBar()->field(), "abc");
    ASSERT_TRUE(testing::spinUntil([this] { return view->content() == Content::noResults; }));
    EXPECT_EQ(view->emptyText(), "No results for \"abc\"");
    EXPECT_TRUE(view->searchBar()->clearButton()->isVisible());

    QTest::mouseClick(view->searchBar()->clearButton(), Qt::LeftButton);
    ASSERT_TRUE(testing::spinUntil([this] { return view->content() == Content::grid; }));
    EXPECT_EQ(view->viewModel()->searchQuery(), "");
    EXPECT_FALSE(view->searchBar()->clearButton()->isVisible());
}

TEST_F(BrowserTest, ListingInProgressShowsOnlyTheLoadingIndicator) {
    agent.writeFile("a.txt", "a");
    view = std::make_unique<ui::FileBrowserView>(appState, transport);
    view->show();
    // The request is out; its reply has not been read yet.
    EXPECT_EQ(view->content(), Content::loading);
    EXPECT_TRUE(qobject_cast<ui::LoadingOverlay*>(view->contentWidget()));
    EXPECT_FALSE(view->grid()->isVisible());
    EXPECT_FALSE(view->list()->isVisible());
    EXPECT_FALSE(view->selectionBar()->isVisible());
    waitForListing();
    EXPECT_EQ(view->content(), Content::grid);
}

TEST_F(BrowserTest, CtrlClickTogglesOneTileAndPlainClickSelectsOnlyIt) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        agent.writeFile(name, "x");
    open();
    clickTile(0);
    EXPECT_EQ(selectedNames(), QSet<QString>{"a.txt"});
    clickTile(1, Qt::ControlModifier);
    clickTile(2, Qt::ControlModifier);
    EXPECT_EQ(selectedNames(), (QSet<QString>{"a.txt", "b.txt", "c.txt"}));
    clickTile(1, Qt::ControlModifier);
    EXPECT_EQ(selectedNames(), (QSet<QString>{"a.txt", "c.txt"}));
    EXPECT_EQ(view->statusText(), "3 items   2 selected");
    clickTile(1);
    EXPECT_EQ(selectedNames(), QSet<QString>{"b.txt"});
    // The selection reaches the model's role without a reset.
    EXPECT_TRUE(view->itemModel()->index(1, 0).data(ui::FileItemModel::selectedRole).toBool());
    EXPECT_FALSE(view->itemModel()->index(0, 0).data(ui::FileItemModel::selectedRole).toBool());
    // The list shares the selection.
    appState.setViewMode(app::ViewMode::list);
    QCoreApplication::processEvents();
    const QRect row = view->list()->visualRect(view->itemModel()->index(2, 0));
    QTest::mouseClick(view->list()->viewport(), Qt::LeftButton, Qt::ControlModifier, row.center());
    EXPECT_EQ(selectedNames(), (QSet<QString>{"b.txt", "c.txt"}));
}

TEST_F(BrowserTest, AllVisibleSelectedOffersDeselectAll) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        agent.writeFile(name, "x");
    open();
    view->grid()->setFocus();
    QTest::keyClick(view->grid(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(selectedNames().size(), 3);
    EXPECT_TRUE(view->selectionBar()->isVisible());
    EXPECT_EQ(view->selectionBar()->selectAllButton()->text(), "Deselect All");
    QMenu* menu = view->browserMenu();
    EXPECT_EQ(texts(menu), (QStringList{"Go Up", "New Folder", "Upload Files…", "Upload Folder…",
                                        "Paste", "Deselect All", "Cut", "Copy", "Copy Path",
                                        "Export to Computer…", "Delete Permanently", "Refresh"}));
    delete menu;

    clickTile(0, Qt::ControlModifier);
    EXPECT_EQ(view->selectionBar()->selectAllButton()->text(), "Select All");
    menu = view->browserMenu();
    EXPECT_TRUE(texts(menu).contains("Select All"));
    delete menu;
    // The bar's toggle selects the rest, then clears everything.
    QTest::mouseClick(view->selectionBar()->selectAllButton(), Qt::LeftButton);
    EXPECT_EQ(selectedNames().size(), 3);
    QTest::mouseClick(view->selectionBar()->selectAllButton(), Qt::LeftButton);
    EXPECT_TRUE(selectedNames().isEmpty());
    EXPECT_FALSE(view->selectionBar()->isVisible());
}

TEST_F(BrowserTest, EntryMenuDependsOnTheSelection) {
    agent.writeFile("a.txt", "x");
    agent.writeFile("b.txt", "y");
    agent.makeDirectory("docs");
    open();
    const auto& items = *view->itemModel();
    ASSERT_EQ(items.item(0).name, "docs");
    clickTile(1);
    QMenu* menu = view->entryMenu(items.item(1));
    EXPECT_EQ(texts(menu),
              (QStringList{"Open", "Open With…", "Get Info", "Rename…", "Duplicate", "Cut", "Copy",
                           "Copy Path", "Export to Computer…", "Delete"}));
    delete menu;
    menu = view->entryMenu(items.item(0));
    EXPECT_EQ(texts(menu).first(), "Open");
    EXPECT_FALSE(texts(menu).contains("Open With…"));
    EXPECT_FALSE(texts(menu).contains("Export to Computer…")) << "folders are not exported";
    delete menu;

    clickTile(2, Qt::ControlModifier);
    menu = view->entryMenu(items.item(1));
    EXPECT_EQ(texts(menu), (QStringList{"Open", "Open With…", "Get Info", "Cut", "Copy",
                                        "Copy Path", "Export to Computer…", "Delete 2 Items"}));
    delete menu;
}

TEST_F(BrowserTest, RenameSendsOnlyATrimmedChangedName) {
    agent.writeFile("a.txt", "x");
    open();
    const model::FileItem item = view->itemModel()->item(0);
    QSignalSpy reloads(view->viewModel(), &app::FileBrowserViewModel::isLoadingChanged);
    for (const QString& typed :
         {QStringLiteral("a.txt"), QStringLiteral("   "), QStringLiteral("  a.txt\t")}) {
        view->beginRename(item);
        auto* sheet = view->findChild<ui::RenameSheet*>();
        ASSERT_TRUE(sheet);
        EXPECT_EQ(sheet->nameField()->text(), "a.txt");
        sheet->nameField()->setText(typed);
        QTest::mouseClick(sheet->renameButton(), Qt::LeftButton);
        QTest::qWait(50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_EQ(reloads.count(), 0);
    EXPECT_TRUE(QFile::exists(agent.rootPath("a.txt")));

    view->beginRename(item);
    auto* sheet = view->findChild<ui::RenameSheet*>();
    ASSERT_TRUE(sheet);
    sheet->nameField()->setText("  b.txt  ");
    QTest::keyClick(sheet->nameField(), Qt::Key_Return);
    ASSERT_TRUE(testing::spinUntil([this] {
        return !view->viewModel()->files().isEmpty() &&
               view->viewModel()->files().first().name == "b.txt";
    }));
    EXPECT_TRUE(QFile::exists(agent.rootPath("b.txt")));

    // A refused rename becomes its alert.
    agent.writeFile("c.txt", "z");
    testing::run(view->rename(view->viewModel()->files().first(), "c.txt/d"));
    ASSERT_TRUE(appState.activeAlert());
    EXPECT_TRUE(appState.activeAlert()->message.startsWith("Rename failed: "))
        << appState.activeAlert()->message.toStdString();
}

TEST_F(BrowserTest, ExportDialogNamesTheCountAndExports) {
    agent.writeFile("a.txt", "alpha");
    agent.writeFile("b.txt", "beta");
    open();
    for (int count : {1, 2}) {
        clickTile(0);
        if (count == 2)
            clickTile(1, Qt::ControlModifier);
        QTest::mouseClick(view->selectionBar()->exportButton(), Qt::LeftButton);
        auto* dialog = view->findChild<QFileDialog*>("exportDialog");
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->windowTitle(), count == 1 ? "Choose a folder to export 1 file to"
                                                    : "Choose a folder to export 2 files to");
        EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Export Here");
        EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
        dialog->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QTemporaryDir target;
    testing::run(view->exportTo(view->viewModel()->selectedItems(), target.path()));
    QFile exported(target.filePath("b.txt"));
    ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
    EXPECT_EQ(exported.readAll(), "beta");
    EXPECT_FALSE(appState.activeAlert());
}

TEST_F(BrowserTest, DeleteKeyAsksOnlyWithASelection) {
    agent.writeFile("a.txt", "x");
    agent.writeFile("b.txt", "y");
    open();
    view->grid()->setFocus();
    QTest::keyClick(view->grid(), Qt::Key_Delete);
    EXPECT_FALSE(appState.activeAlert());

    clickTile(1);
    QTest::keyClick(view->grid(), Qt::Key_Delete);
    ASSERT_TRUE(appState.activeAlert());
    EXPECT_EQ(appState.activeAlert()->kind, app::AppAlert::Kind::deleteConfirmation);
    ASSERT_EQ(appState.activeAlert()->files.size(), 1);
    EXPECT_EQ(appState.activeAlert()->files.first().name, "b.txt");

    // Confirming deletes the confirmed entry, even after the selection moved on.
    clickTile(0);
    ASSERT_TRUE(appState.onConfirmDelete);
    appState.onConfirmDelete();
    ASSERT_TRUE(testing::spinUntil([this] { return view->viewModel()->files().size() == 1; }));
    EXPECT_FALSE(QFile::exists(agent.rootPath("b.txt")));
    EXPECT_TRUE(QFile::exists(agent.rootPath("a.txt")));
}

TEST_F(BrowserTest, ListsOnceTheVMIsRunningAndNotBefore) {
    agent.writeFile(QStringLiteral("readme.txt"), "hi");
    guest::VsockTransport booting;  // no stream yet, as while the VM boots
    appState.setIsBootingVM(true);
    appState.setVmStatus(guest::VMStatus::booting());
    ui::FileBrowserView early(appState, booting);
    QTest::qWait(50);
    EXPECT_FALSE(early.viewModel()->error().has_value()) << "no 'disconnected' error while booting";
    EXPECT_TRUE(early.viewModel()->files().isEmpty());

    agent.connect(booting);
    appState.setIsBootingVM(false);
    appState.setVmStatus(guest::VMStatus::running());
    ASSERT_TRUE(testing::spinUntil([&] { return early.viewModel()->files().size() == 1; }));
    EXPECT_EQ(early.viewModel()->files().constFirst().name, QStringLiteral("readme.txt"));
    EXPECT_FALSE(early.viewModel()->error().has_value());
    booting.disconnect();
}

TEST_F(BrowserTest, AFailedVMShowsItsCauseInsteadOfTheLastListing) {
    agent.writeFile(QStringLiteral("readme.txt"), "hi");
    open();
    ASSERT_EQ(view->viewModel()->files().size(), 1);
    view->viewModel()->selectAll();
    appState.setVmStatus(guest::VMStatus::error(QStringLiteral("Guest kernel panic")));
    EXPECT_TRUE(view->viewModel()->files().isEmpty());
    EXPECT_TRUE(view->viewModel()->selectedFiles().isEmpty());
    EXPECT_EQ(view->viewModel()->error(), QStringLiteral("Guest kernel panic"));

    // A fresh VM lists again.
    appState.setVmStatus(guest::VMStatus::running());
    ASSERT_TRUE(testing::spinUntil([&] { return view->viewModel()->files().size() == 1; }));
    EXPECT_FALSE(view->viewModel()->error().has_value());
}

TEST_F(BrowserTest, SelectionChangesRepaintOnlyTheRowsBetweenTheFlippedOnes) {
    for (int i = 0; i < 6; ++i)
        agent.writeFile(QStringLiteral("file-%1.txt").arg(i), "x");
    open();
    ui::FileItemModel* model = view->itemModel();
    QSignalSpy repaints(model, &QAbstractItemModel::dataChanged);
    const auto idAt = [&](int row) { return model->item(row).id; };
    const auto lastSpan = [&] {
        const QList<QVariant> args = repaints.takeLast();
        return std::make_pair(args[0].toModelIndex().row(), args[1].toModelIndex().row());
    };

    view->viewModel()->setSelectedFiles({idAt(1), idAt(4)});
    ASSERT_EQ(repaints.size(), 1);
    EXPECT_EQ(lastSpan(), std::make_pair(1, 4));
    view->viewModel()->setSelectedFiles({idAt(1), idAt(2), idAt(4)});
    ASSERT_EQ(repaints.size(), 1);
    EXPECT_EQ(lastSpan(), std::make_pair(2, 2));
    view->viewModel()->selectAll();
    ASSERT_EQ(repaints.size(), 1);
    EXPECT_EQ(lastSpan(), std::make_pair(0, 5));
    view->viewModel()->setSelectedFiles({});
    ASSERT_EQ(repaints.size(), 1);
    EXPECT_EQ(lastSpan(), std::make_pair(0, 5));
    view->viewModel()->setSelectedFiles({});
    EXPECT_EQ(repaints.size(), 0) << "nothing flipped, nothing repainted";
    // A selection of ids no longer listed, cleared: the whole list repaints, nothing is lost.
    view->viewModel()->setSelectedFiles({QStringLiteral("/gone-1"), QStringLiteral("/gone-2"),
                                         QStringLiteral("/gone-3"), QStringLiteral("/gone-4"),
                                         QStringLiteral("/gone-5"), QStringLiteral("/gone-6")});
    view->viewModel()->setSelectedFiles({});
    EXPECT_EQ(model->data(model->index(0, 0), ui::FileItemModel::selectedRole).toBool(), false);
}

}  // namespace
}  // namespace quorvale::test
