#include <gtest/gtest.h>

#include <QSet>

#include <boost/json/parse.hpp>

#include "model/file_item.h"

namespace quorvale::model {
namespace {

std::optional<FileItem> fromJSON(const char* json, const QString& parent = QStringLiteral("/")) {
    return FileItem::fromEntry(boost::json::parse(json).as_object(), parent);
}

TEST(FileItemFromEntryTest, EntriesWithoutAStringNameYieldNothing) {
    EXPECT_FALSE(fromJSON("{}"));
    EXPECT_FALSE(fromJSON(R"({"size": 10, "is_directory": true})"));
    EXPECT_FALSE(fromJSON(R"({"name": 5})"));
    EXPECT_FALSE(fromJSON(R"({"name": null})"));
    EXPECT_TRUE(fromJSON(R"({"name": ""})"));
}

TEST(FileItemFromEntryTest, PathJoinsParentAndNameWithoutNormalising) {
    auto etc = fromJSON(R"({"name": "etc"})", QStringLiteral("/"));
    ASSERT_TRUE(etc);
    EXPECT_EQ(etc->path, QStringLiteral("/etc"));
    EXPECT_EQ(etc->id, etc->path);
    EXPECT_EQ(etc->name, QStringLiteral("etc"));

    auto pi = fromJSON(R"({"name": "pi"})", QStringLiteral("/home"));
    ASSERT_TRUE(pi);
    EXPECT_EQ(pi->path, QStringLiteral("/home/pi"));
    EXPECT_EQ(pi->id, QStringLiteral("/home/pi"));

    auto doubled = fromJSON(R"({"name": "pi"})", QStringLiteral("/home/"));
    EXPECT_EQ(doubled->path, QStringLiteral("/home//pi"));

    auto utf8 = fromJSON(R"({"name": "Grüße ☃.txt"})", QStringLiteral("/docs"));
    EXPECT_EQ(utf8->path, QStringLiteral("/docs/Grüße ☃.txt"));
}

TEST(FileItemFromEntryTest, MissingOrMistypedMembersTakeTheirDefaults) {
    auto item = fromJSON(
        R"({"name": "x", "is_directory": 1, "owner": 0, "group": ["g"], "mtime": "1",
            "is_symlink": "true", "symlink_target": 7, "size": "12", "permissions": true})");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->size, 0u);
    EXPECT_FALSE(item->isDirectory);
    EXPECT_EQ(item->permissions, 0);
    EXPECT_EQ(item->owner, QStringLiteral("unknown"));
    EXPECT_EQ(item->group, QStringLiteral("unknown"));
    EXPECT_EQ(item->modifiedDate, QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
    EXPECT_FALSE(item->isSymlink);
    EXPECT_FALSE(item->symlinkTarget.has_value());
}

TEST(FileItemFromEntryTest, WellFormedMembersAreTakenOver) {
    auto item = fromJSON(
        R"({"name": "link", "size": 12.9, "is_directory": true, "permissions": 70000,
            "owner": "pi", "group": "users", "mtime": 1700000000.25, "is_symlink": true,
            "symlink_target": "../target"})",
        QStringLiteral("/home"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->size, 12u);
    EXPECT_TRUE(item->isDirectory);
    EXPECT_EQ(item->permissions, 4464);
    EXPECT_EQ(item->owner, QStringLiteral("pi"));
    EXPECT_EQ(item->group, QStringLiteral("users"));
    EXPECT_EQ(item->modifiedDate.toMSecsSinceEpoch(), 1700000000250);
    EXPECT_TRUE(item->isSymlink);
    EXPECT_EQ(item->symlinkTarget, QStringLiteral("../target"));
}

TEST(FileItemFromEntryTest, HostileNumbersNeitherOverflowNorCrash) {
    EXPECT_EQ(fromJSON(R"({"name": "a", "size": -5})")->size, 0u);
    EXPECT_EQ(fromJSON(R"({"name": "a", "size": -0.5})")->size, 0u);
    EXPECT_EQ(fromJSON(R"({"name": "a", "size": 1e300})")->size, UINT64_MAX);
    EXPECT_EQ(fromJSON(R"({"name": "a", "size": 18446744073709551615})")->size, UINT64_MAX);
    EXPECT_EQ(fromJSON(R"({"name": "a", "permissions": -1})")->permissions, 0xFFFF);
    EXPECT_EQ(fromJSON(R"({"name": "a", "permissions": 1e300})")->permissions, 0);
    EXPECT_EQ(fromJSON(R"({"name": "a", "permissions": 16877.9})")->permissions, 16877);
    EXPECT_EQ(fromJSON(R"({"name": "a", "mtime": 1e300})")->modifiedDate,
              QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
    EXPECT_EQ(fromJSON(R"({"name": "a", "mtime": -86400})")->modifiedDate,
              QDateTime(QDate(1969, 12, 31), QTime(0, 0), Qt::UTC));
}

TEST(FileItemTest, EqualityAndHashCoverEveryField) {
    FileItem a = *fromJSON(R"({"name": "a.txt", "size": 3, "mtime": 5})");
    FileItem b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(qHash(a), qHash(b));
    b.symlinkTarget = QString();
    EXPECT_NE(a, b);
    EXPECT_NE(qHash(a), qHash(b));
    b = a;
    b.modifiedDate = b.modifiedDate.addSecs(1);
    EXPECT_NE(a, b);
    b = a;
    b.permissions = 1;
    EXPECT_NE(a, b);
    EXPECT_EQ((QSet<FileItem>{a, a, b}).size(), 2);
}

}  // namespace
}  // namespace quorvale::model
