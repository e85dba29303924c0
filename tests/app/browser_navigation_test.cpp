// The browser's navigation and selection rules: Back and Forward, click and arrow gestures,
// the window title, and the view preferences kept between runs.

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/browser/browser_paths.h"
#include "app/browser/navigation_history.h"
#include "app/browser/selection_rules.h"
#include "app/browser/transfer_report.h"
#include "app/browser/view_preferences.h"
#include "app/core/window_title.h"
#include "app_test_support.h"

namespace quorvale::app {
namespace {

using model::FileItem;

// One history step: go somewhere new, or Back, or Forward; then where the browser is.
struct Step {
    enum Kind { visit, back, forward } kind;
    QString to;        // visit only
    QString expected;  // the folder shown afterwards
    bool canGoBack;
    bool canGoForward;
};

TEST(NavigationHistoryTest, BackAndForwardRetraceTheFoldersVisited) {
    const QList<Step> steps = {
        {Step::back, {}, "/", false, false},  // nothing to go back to
        {Step::visit, "/a", "/a", true, false},
        {Step::visit, "/a/b", "/a/b", true, false},
        {Step::back, {}, "/a", true, true},
        {Step::back, {}, "/", false, true},
        {Step::forward, {}, "/a", true, true},
        // Somewhere new forgets what lay ahead.
        {Step::visit, "/c", "/c", true, false},
        {Step::forward, {}, "/c", true, false},
        {Step::back, {}, "/a", true, true},
        {Step::back, {}, "/", false, true},
    };
    NavigationHistory history;
    QString current = "/";
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        if (step.kind == Step::visit) {
            history.visit(current);
            current = step.to;
        } else {
            const auto next =
                step.kind == Step::back ? history.back(current) : history.forward(current);
            if (next)
                current = *next;
        }
        EXPECT_EQ(current, step.expected) << "step " << i;
        EXPECT_EQ(history.canGoBack(), step.canGoBack) << "step " << i;
        EXPECT_EQ(history.canGoForward(), step.canGoForward) << "step " << i;
    }
}

TEST(NavigationHistoryTest, KeepsOnlyTheLatestFolders) {
    NavigationHistory history;
    for (int i = 0; i <= NavigationHistory::limit + 10; ++i)
        history.visit(QStringLiteral("/%1").arg(i));
    QString current = "/last";
    int steps = 0;
    while (const auto previous = history.back(current)) {
        current = *previous;
        ++steps;
    }
    EXPECT_EQ(steps, NavigationHistory::limit);
    EXPECT_EQ(current, QStringLiteral("/%1").arg(11));  // the oldest ten went
}

QList<FileItem> entries(const QStringList& names) {
    QList<FileItem> items;
    for (const QString& name : names) {
        FileItem item;
        item.name = name;
        item.path = item.id = "/" + name;
        items.append(item);
    }
    return items;
}

QSet<QString> ids(const QStringList& names) {
    QSet<QString> out;
    for (const QString& name : names)
        out.insert("/" + name);
    return out;
}

TEST(SelectionRulesTest, GesturesOnTheEntriesShown) {
    const QList<FileItem> files = entries({"a", "b", "c", "d", "e"});
    struct Case {
        const char* what;
        QStringList selected;
        std::optional<QString> anchor;
        QString target;
        SelectionGesture gesture;
        QStringList expected;
        std::optional<QString> expectedAnchor;
    };
    const Case cases[] = {
        {"plain click", {"a", "b"}, "/a", "c", SelectionGesture::only, {"c"}, "/c"},
        {"toggle adds", {"a"}, "/a", "c", SelectionGesture::toggle, {"a", "c"}, "/c"},
        {"toggle removes", {"a", "c"}, "/a", "c", SelectionGesture::toggle, {"a"}, "/c"},
        {"extend downwards", {"b"}, "/b", "d", SelectionGesture::extend, {"b", "c", "d"}, "/b"},
        {"extend upwards", {"d"}, "/d", "a", SelectionGesture::extend, {"a", "b", "c", "d"}, "/d"},
        {"extend replaces", {"a", "e"}, "/c", "d", SelectionGesture::extend, {"c", "d"}, "/c"},
        {"extend without anchor", {}, std::nullopt, "b", SelectionGesture::extend, {"b"}, "/b"},
        {"anchor hidden", {}, "/zz", "b", SelectionGesture::extend, {"b"}, "/b"},
    };
    for (const Case& c : cases) {
        const SelectionChange change =
            applySelectionGesture(files, ids(c.selected), c.anchor, "/" + c.target, c.gesture);
        EXPECT_EQ(change.selected, ids(c.expected)) << c.what;
        EXPECT_EQ(change.anchor, c.expectedAnchor) << c.what;
    }
    EXPECT_EQ(visibleSelection(entries({"a", "c"}), ids({"a", "b", "c"})), ids({"a", "c"}));
    EXPECT_TRUE(visibleSelection({}, ids({"a"})).isEmpty());
}

TEST(WindowTitleTest, NamesTheFolderAndTheCard) {
    model::Partition rootfs;
    rootfs.id = rootfs.bsdName = "image0p2";
    rootfs.label = "rootfs";
    model::Partition unlabelled;
    unlabelled.id = unlabelled.bsdName = "sdb1";
    model::Device image;
    image.name = "sdcard.img";
    image.partitions = {rootfs};
    const QList<model::Device> devices = {image};
    EXPECT_EQ(windowTitle(std::nullopt, devices, "/"), "Quorvale");
    EXPECT_EQ(windowTitle(rootfs, devices, "/"), "rootfs on sdcard.img");
    EXPECT_EQ(windowTitle(rootfs, devices, "/home/pi/"), "pi — rootfs on sdcard.img");
    EXPECT_EQ(windowTitle(unlabelled, devices, "/etc"), "etc — sdb1");
    EXPECT_EQ(windowTitle(rootfs, {}, "/etc"), "etc — rootfs");
}

TEST(ViewPreferencesTest, RestoredInTheNextRunAndBadValuesIgnored) {
    testing::ensureApplication();
    QTemporaryDir dir;
    const QString file = dir.filePath("settings.ini");
    const auto settingsAt = [&] {
        return AppSettings(std::make_unique<QSettings>(file, QSettings::IniFormat));
    };
    {
        AppSettings settings = settingsAt();
        AppState state;
        QObject context;
        bindViewPreferences(state, settings, &context);
        EXPECT_EQ(state.viewMode(), ViewMode::grid);  // nothing stored yet
        state.setViewMode(ViewMode::list);
        state.setSortOrder(SortOrder::date);
        state.setSortAscending(false);
    }
    {
        AppSettings settings = settingsAt();
        AppState state;
        QObject context;
        bindViewPreferences(state, settings, &context);
        EXPECT_EQ(state.viewMode(), ViewMode::list);
        EXPECT_EQ(state.sortOrder(), SortOrder::date);
        EXPECT_FALSE(state.sortAscending());
        settings.store().setValue("viewMode", "tiles");
        settings.store().setValue("sortOrder", "colour");
        settings.store().setValue("sortAscending", "maybe");
    }
    AppSettings settings = settingsAt();
    AppState state;
    QObject context;
    bindViewPreferences(state, settings, &context);
    EXPECT_EQ(state.viewMode(), ViewMode::grid);
    EXPECT_EQ(state.sortOrder(), SortOrder::name);
    EXPECT_TRUE(state.sortAscending());
    for (SortOrder order : allSortOrders)
        EXPECT_EQ(sortOrderFromStored(storedName(order)), order);
}

}  // namespace
}  // namespace quorvale::app

namespace quorvale::app {
namespace {

TEST(FreeNameTest, FirstNameNotTaken) {
    EXPECT_EQ(freeName("untitled folder", {}), "untitled folder");
    EXPECT_EQ(freeName("untitled folder", {"untitled folder"}), "untitled folder 2");
    EXPECT_EQ(freeName("untitled folder", {"untitled folder", "untitled folder 2", "x"}),
              "untitled folder 3");
    // Names differing in case are other names on ext4.
    EXPECT_EQ(freeName("untitled folder", {"Untitled Folder"}), "untitled folder");
}

TEST(TransferReportTest, NoticeTexts) {
    using Kind = TransferReport::Kind;
    struct Case {
        TransferReport report;
        const char* text;
    };
    const Case cases[] = {
        {{Kind::exported, 3, 3, false, "a.txt", "/home/me/Downloads"},
         "Exported 3 files to Downloads"},
        {{Kind::exported, 1, 1, false, "a.txt", "/home/me/Downloads/"},
         "Exported “a.txt” to Downloads"},
        {{Kind::uploaded, 1, 1, false, "photo.png", "/"}, "Uploaded “photo.png” to Root"},
        {{Kind::uploaded, 2, 2, false, "a", "/home/pi"}, "Uploaded 2 files to pi"},
        {{Kind::exported, 2, 5, true, "a", "/tmp/out"},
         "Export cancelled: 2 of 5 files were exported to out. The file in progress was not "
         "kept."},
        {{Kind::uploaded, 1, 3, true, "a", "/docs"},
         "Upload cancelled: 1 of 3 files was uploaded to docs. The file in progress was not "
         "kept."},
        {{Kind::uploaded, 0, 3, true, {}, "/docs"}, "Upload cancelled: nothing was uploaded."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.report.text(), QString::fromUtf8(c.text));
}

}  // namespace
}  // namespace quorvale::app
