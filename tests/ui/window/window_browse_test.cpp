// The window around the browser: View > Sort By chosen through the menu bar and kept between
// runs, the title naming the folder and its card, and no typing into the content while a setup
// page covers it.

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/core/service_adapters.h"

#include "ui/common/page_overlay.h"
#include "ui/setup/onboarding_view.h"
#include "ui/sidebar/sidebar_view.h"
#include "vm/qstring_printer.h"
#include "window_fakes.h"

namespace quorvale::test {
namespace {

using FS = model::FilesystemType;

// Clicks `text` in the menu bar, then each following text in the menu that opens.
void clickMenuPath(ui::MainWindow& window, const QStringList& texts) {
    QMenuBar* bar = window.menuBar();
    QAction* top = nullptr;
    for (QAction* action : bar->actions())
        if (action->text().remove(QLatin1Char('&')) == texts.first())
            top = action;
    ASSERT_TRUE(top) << texts.first().toStdString();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(top).center());
    for (qsizetype i = 1; i < texts.size(); ++i) {
        ASSERT_TRUE(WindowHarness::waitFor([] { return QApplication::activePopupWidget(); }));
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_TRUE(menu);
        QAction* item = nullptr;
        for (QAction* action : menu->actions())
            if (action->text() == texts[i])
                item = action;
        ASSERT_TRUE(item) << texts[i].toStdString();
        const QPoint centre = menu->actionGeometry(item).center();
        QTest::mouseMove(menu, centre);
        QTest::mouseClick(menu, Qt::LeftButton, {}, centre);
        if (item->menu()) {
            ASSERT_TRUE(WindowHarness::waitFor(
                [&] { return QApplication::activePopupWidget() == item->menu(); }));
        }
    }
    QTest::qWait(20);
}

// Types through the window system, which hands the keys to the focus widget.
void typeInto(QWindow* window, const char* text) {
    for (const char* c = text; *c; ++c)
        QTest::keyClick(window, *c);
}

TEST(ViewMenu, SortByChoosesKeyAndDirectionAndTheNextRunKeepsThem) {
    WindowHarness harness;
    harness.show();
    const ui::AppMenus& menus = harness.window->menus();
    ASSERT_EQ(menus.sortBy.size(), 4);
    EXPECT_TRUE(menus.sortBy[0]->isChecked());
    EXPECT_TRUE(menus.sortAscending->isChecked());

    clickMenuPath(*harness.window, {"View", "Sort By", "Size"});
    EXPECT_EQ(harness.appState.sortOrder(), app::SortOrder::size);
    EXPECT_TRUE(menus.sortBy[1]->isChecked());
    EXPECT_FALSE(menus.sortBy[0]->isChecked());
    clickMenuPath(*harness.window, {"View", "Sort By", "Descending"});
    EXPECT_FALSE(harness.appState.sortAscending());
    EXPECT_TRUE(menus.sortDescending->isChecked());
    QTest::keyClick(harness.window.get(), Qt::Key_2, Qt::ControlModifier);
    // A change made elsewhere (a list header) shows in the menu.
    harness.appState.setSortOrder(app::SortOrder::kind);
    EXPECT_TRUE(menus.sortBy[3]->isChecked());

    // The next run starts as this one ended.
    app::AppState nextRun;
    ui::MainWindow next(ui::WindowServices{
        nextRun, *harness.settings, harness.helper, harness.vm, harness.transport,
        std::make_unique<app::DetectionDiskSource>(nullptr), QString()});
    EXPECT_EQ(nextRun.viewMode(), app::ViewMode::list);
    EXPECT_EQ(nextRun.sortOrder(), app::SortOrder::kind);
    EXPECT_FALSE(nextRun.sortAscending());
    EXPECT_TRUE(next.menus().sortBy[3]->isChecked());
    EXPECT_TRUE(next.menus().sortDescending->isChecked());
}

TEST(MainWindow, TitleNamesTheFolderAndTheCard) {
    WindowHarness harness;
    harness.show();
    EXPECT_EQ(harness.window->windowTitle(), "Quorvale");
    harness.window->sidebar()->viewModel()->deviceUpdated(makeDevice({FS::ext4}));
    ASSERT_TRUE(
        WindowHarness::waitFor([&] { return harness.appState.selectedPartition().has_value(); }));
    EXPECT_EQ(harness.window->windowTitle(), "sdb1 on Generic SD Reader");
    harness.appState.setCurrentPath("/home/pi");
    EXPECT_EQ(harness.window->windowTitle(), "pi — sdb1 on Generic SD Reader");
}

TEST(Onboarding, TypingBehindThePageDoesNotReachTheContent) {
    WindowHarness harness(WindowHarness::Onboarding::pending);
    QPointer<QLineEdit> field;
    harness.window->setDetailWidgetFactory([&](app::AppState&, guest::VsockTransport&) {
        field = new QLineEdit;
        return field.data();
    });
    model::Partition partition;
    partition.id = partition.bsdName = "sdb1";
    harness.appState.setSelectedPartition(partition);
    harness.show();
    ASSERT_TRUE(field);
    ASSERT_TRUE(harness.window->onboardingOverlay()->isVisible());
    field->setFocus();  // as if it had the focus when the page came up
    typeInto(harness.window->windowHandle(), "abc");
    EXPECT_EQ(field->text(), "") << "keys went through the onboarding page";
    EXPECT_FALSE(field->hasFocus());

    // Skipping from the helper page gives the content back.
    harness.helper.installFails = true;
    ui::OnboardingView* page = harness.window->onboardingView();
    QTest::mouseClick(page->continueButton(), Qt::LeftButton);
    QTest::mouseClick(page->authorizeButton(), Qt::LeftButton);
    ASSERT_TRUE(WindowHarness::waitFor([&] { return !page->errorMessage().isEmpty(); }));
    QTest::mouseClick(page->skipButton(), Qt::LeftButton);
    ASSERT_FALSE(harness.window->onboardingOverlay()->isVisible());
    field->setFocus();
    typeInto(harness.window->windowHandle(), "abc");
    EXPECT_EQ(field->text(), "abc");
}

}  // namespace
}  // namespace quorvale::test
