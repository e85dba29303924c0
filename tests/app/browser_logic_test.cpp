// The browser's pure rules: breadcrumbs and parents, duplicate names, the audit line, the
// export name check, and filtering and sorting.

#include <gtest/gtest.h>

#include "app/browser/browser_paths.h"
#include "app/browser/file_sorting.h"
#include "vm/qstring_printer.h"

namespace quorvale::app {
namespace {

using model::FileItem;

FileItem entry(const QString& name, std::uint64_t size = 0, bool isDirectory = false, int day = 1) {
    FileItem item;
    item.name = name;
    item.path = item.id = "/" + name;
    item.size = size;
    item.isDirectory = isDirectory;
    item.modifiedDate = QDateTime(QDate(2026, 1, day), QTime(9, 0), Qt::UTC);
    return item;
}

QStringList names(const QList<FileItem>& items) {
    QStringList out;
    for (const FileItem& item : items)
        out << item.name;
    return out;
}

TEST(BrowserPathsTest, BreadcrumbSkipsEmptyPiecesAndGetsFreshIds) {
    const auto crumbs = breadcrumb("/a//b/");
    ASSERT_EQ(crumbs.size(), 3);
    EXPECT_EQ(crumbs[0].name, "/");
    EXPECT_EQ(crumbs[0].path, "/");
    EXPECT_EQ(crumbs[1].name, "a");
    EXPECT_EQ(crumbs[1].path, "/a");
    EXPECT_EQ(crumbs[2].name, "b");
    EXPECT_EQ(crumbs[2].path, "/a/b");
    EXPECT_EQ(breadcrumb("/").size(), 1);
    EXPECT_NE(breadcrumb("/").front().id, breadcrumb("/").front().id);
}

TEST(BrowserPathsTest, ParentAndChildPaths) {
    EXPECT_EQ(parentPath("/a/b"), "/a");
    EXPECT_EQ(parentPath("/a"), "/");
    EXPECT_EQ(parentPath("/a/b/"), "/a");
    EXPECT_EQ(parentPath("/"), "/");
    EXPECT_EQ(childPath("/", "untitled folder"), "/untitled folder");
    EXPECT_EQ(childPath("/docs", "x"), "/docs/x");
}

TEST(BrowserPathsTest, DuplicateNamesGoBesideTheOriginal) {
    EXPECT_EQ(duplicatePath("/photo.jpg", "photo.jpg"), "/photo copy.jpg");
    EXPECT_EQ(duplicatePath("/docs/archive.tar.gz", "archive.tar.gz"), "/docs/archive.tar copy.gz");
    EXPECT_EQ(duplicateName("README"), "README copy");
    EXPECT_EQ(duplicateName("notes.txt"), "notes copy.txt");
}

TEST(BrowserPathsTest, AuditLineFormat) {
    const QDateTime when(QDate(2026, 1, 31), QTime(10, 5), Qt::OffsetFromUTC, 3600);
    EXPECT_EQ(auditLine(when, "DELETE", "/a b/c", {}, QStringLiteral("sdb2"), {}),
              "[2026-01-31T09:05:00Z] DELETE /a b/c on sdb2");
    EXPECT_EQ(auditLine(when, "DELETE", "/x", {}, std::nullopt, {}),
              "[2026-01-31T09:05:00Z] DELETE /x on unknown");
    EXPECT_EQ(auditLine(when, "RENAME", "/a", "b", QStringLiteral("image0p2"), "card\n.img"),
              "[2026-01-31T09:05:00Z] RENAME /a → b on image0p2 (card\\x0A.img)");
}

TEST(BrowserPathsTest, AuditLinesCannotBeForgedByNames) {
    const QDateTime when(QDate(2026, 1, 31), QTime(9, 5), Qt::UTC);
    const QString forged = "/a\n[2026-01-31T09:05:00Z] DELETE /everything on sdb2";
    const struct {
        QString path;
        QString shown;
    } cases[] = {
        {forged, "/a\\x0A[2026-01-31T09:05:00Z] DELETE /everything on sdb2"},
        {"/tab\there\r", "/tab\\x09here\\x0D"},
        {"/back\\slash\\x0A", "/back\\\\slash\\\\x0A"},  // not confused with an escape
        {QString("/caf") + QChar(0xF7E9), "/caf\\xE9"},  // a byte that was not UTF-8
        {QString("/line") + QChar(0x2028) + "sep" + QChar(0x85), "/line\\u2028sep\\x85"},
        {QString::fromUtf8("/caf\xc3\xa9"), QString::fromUtf8("/caf\xc3\xa9")},
    };
    for (const auto& c : cases) {
        const QString line = auditLine(when, "COPY", "/a", c.path, QStringLiteral("sdb2"), c.path);
        EXPECT_EQ(line,
                  "[2026-01-31T09:05:00Z] COPY /a → " + c.shown + " on sdb2 (" + c.shown + ")");
        EXPECT_FALSE(line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r')));
    }
}

TEST(BrowserPathsTest, OnlyPlainNamesMayBecomeLocalFiles) {
    EXPECT_TRUE(isPlainFileName("photo.jpg"));
    EXPECT_TRUE(isPlainFileName("..hidden"));
    for (const QString& bad :
         {QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("../etc"),
          QStringLiteral("a/b"), QStringLiteral("x") + QChar(u'\0') + QStringLiteral("y")})
        EXPECT_FALSE(isPlainFileName(bad)) << bad.toStdString();
}

TEST(FileSortingTest, DirectoriesComeFirstInBothDirections) {
    const QList<FileItem> all = {entry("docs", 0, true), entry("b.txt", 5), entry("a.txt", 9),
                                 entry("music", 0, true)};
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::name, true)),
              (QStringList{"docs", "music", "a.txt", "b.txt"}));
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::name, false)),
              (QStringList{"music", "docs", "b.txt", "a.txt"}));
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::size, false)),
              (QStringList{"music", "docs", "a.txt", "b.txt"}));
}

TEST(FileSortingTest, EqualKeysKeepTheListingOrderAscendingAndReverseDescending) {
    // The listing comes sorted by name; three files of equal size.
    const QList<FileItem> all = {entry("a", 7), entry("b", 7), entry("c", 3), entry("d", 7)};
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::size, true)),
              (QStringList{"c", "a", "b", "d"}));
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::size, false)),
              (QStringList{"d", "b", "a", "c"}));
}

TEST(FileSortingTest, NamesCompareCaseInsensitivelyWithNumbersByValue) {
    const QList<FileItem> all = {entry("img10.png"), entry("IMG9.png"), entry("img1.png"),
                                 entry("Zeta"), entry("alpha")};
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::name, true)),
              (QStringList{"alpha", "img1.png", "IMG9.png", "img10.png", "Zeta"}));
}

TEST(FileSortingTest, KindPutsNamesWithoutExtensionFirstThenByExtension) {
    const QList<FileItem> all = {entry("b.txt"), entry("a.zip"), entry("Makefile"), entry("c.JPG"),
                                 entry("archive.tar.gz")};
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::kind, true)),
              (QStringList{"Makefile", "archive.tar.gz", "c.JPG", "b.txt", "a.zip"}));
    EXPECT_EQ(kindKey("archive.tar.gz"), "gz");
    EXPECT_EQ(kindKey("Makefile"), "");
}

TEST(FileSortingTest, DateSortsByModification) {
    const QList<FileItem> all = {entry("new", 0, false, 20), entry("old", 0, false, 2),
                                 entry("mid", 0, false, 10)};
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::date, true)),
              (QStringList{"old", "mid", "new"}));
    EXPECT_EQ(names(filterAndSort(all, {}, SortOrder::date, false)),
              (QStringList{"new", "mid", "old"}));
}

TEST(FileSortingTest, SearchIsACaseInsensitiveContainsWithoutTrimming) {
    const QList<FileItem> all = {entry("holiday photo.jpg"), entry("Photos", 0, true),
                                 entry("notes.txt")};
    EXPECT_EQ(names(filterAndSort(all, "PHOTO", SortOrder::name, true)),
              (QStringList{"Photos", "holiday photo.jpg"}));
    EXPECT_EQ(names(filterAndSort(all, " ", SortOrder::name, true)),
              QStringList{"holiday photo.jpg"});
    EXPECT_EQ(rawValue(SortOrder::date), "Date Modified");
}

}  // namespace
}  // namespace quorvale::app
