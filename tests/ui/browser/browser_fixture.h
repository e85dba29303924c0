#pragma once
// A FileBrowserView over the real agent serving a temporary directory, with the helpers the
// browser tests share: waiting for the listing, tile positions and menu texts.

#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

#include "app/app_test_support.h"
#include "app/core/app_state.h"
#include "app/host_agent.h"
#include "guest/vsock_transport.h"
#include "ui/browser/file_browser_view.h"
#include "ui/browser/file_item_model.h"
#include "ui/browser/file_list_view.h"

namespace quorvale::test {

class BrowserTest : public ::testing::Test {
protected:
    BrowserTest() {
        // Deletions are audited; keep the log out of the user's state folder.
        qputenv("XDG_STATE_HOME", QFile::encodeName(stateDir.path()));
        agent.connect(transport);
        model::Partition partition;
        partition.id = partition.bsdName = QStringLiteral("sdb2");
        partition.filesystemType = model::FilesystemType::ext4;
        appState.setVmStatus(guest::VMStatus::running());
        appState.setSelectedPartition(partition);
    }

    // Builds the view and waits for its first listing.
    ui::FileBrowserView& open() {
        view = std::make_unique<ui::FileBrowserView>(appState, transport);
        view->resize(900, 600);
        view->show();
        view->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
        waitForListing();
        return *view;
    }

    void waitForListing() {
        ASSERT_TRUE(testing::spinUntil([this] { return !view->viewModel()->isLoading(); }));
        QTest::qWait(30);  // the grid lays its items out on a zero timer
    }

    void refresh() {
        testing::run(view->viewModel()->loadDirectory());
        QTest::qWait(30);
    }

    QPoint tileCenter(int row) const {
        return view->grid()->visualRect(view->itemModel()->index(row, 0)).center();
    }

    void clickTile(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::mouseClick(view->grid()->viewport(), Qt::LeftButton, modifiers, tileCenter(row));
    }

    QSet<QString> selectedNames() const {
        QSet<QString> names;
        for (const model::FileItem& item : view->viewModel()->selectedItems())
            names.insert(item.name);
        return names;
    }

    static QStringList texts(QMenu* menu) {
        QStringList out;
        for (QAction* action : menu->actions())
            if (!action->isSeparator())
                out << action->text();
        return out;
    }

    QTemporaryDir stateDir;
    testing::HostAgent agent;
    guest::VsockTransport transport;
    app::AppState appState;
    std::unique_ptr<ui::FileBrowserView> view;
};

}  // namespace quorvale::test
