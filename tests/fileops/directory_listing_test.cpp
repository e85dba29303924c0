#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "fileops/directory_listing.h"

namespace quorvale::fileops {
namespace {

QStringList names(const QList<model::FileItem>& items) {
    QStringList list;
    for (const model::FileItem& item : items)
        list.append(item.name);
    return list;
}

std::optional<QList<model::FileItem>> decode(const char* json, const char* parent = "/") {
    boost::json::value value = boost::json::parse(json);
    return decodeListing(&value, QString::fromUtf8(parent));
}

TEST(DirectoryListingTest, OnlyAnArrayOfObjectsIsAListing) {
    EXPECT_FALSE(decodeListing(nullptr, QStringLiteral("/")));
    EXPECT_FALSE(decode(R"({"name": "a"})"));
    EXPECT_FALSE(decode(R"("a")"));
    EXPECT_FALSE(decode("null"));
    EXPECT_FALSE(decode(R"([{"name": "a"}, "b"])"));
    auto empty = decode("[]");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isEmpty());
}

TEST(DirectoryListingTest, UnusableEntriesAreSkippedAndPathsUseTheRequestedParent) {
    auto items =
        decode(R"([{"name": "b"}, {}, {"name": 3}, {"size": 1}, {"name": "a"}])", "/home/pi/");
    ASSERT_TRUE(items);
    EXPECT_EQ(names(*items), (QStringList{"a", "b"}));
    EXPECT_EQ(items->at(0).path, QStringLiteral("/home/pi//a"));
}

TEST(DirectoryListingTest, DirectoriesFirstThenNaturalCaseInsensitiveOrder) {
    auto items = decode(R"([{"name": "b.txt"}, {"name": "a10"}, {"name": "a9"},
                            {"name": "Zeta", "is_directory": true},
                            {"name": "Docs", "is_directory": true}])");
    ASSERT_TRUE(items);
    EXPECT_EQ(names(*items), (QStringList{"Docs", "Zeta", "a9", "a10", "b.txt"}));
}

TEST(DirectoryListingTest, SortIsStableForNamesThatCompareEqual) {
    auto items = decode(R"([{"name": "readme", "size": 1}, {"name": "B"},
                            {"name": "README", "size": 2}, {"name": "a"},
                            {"name": "Readme", "size": 3}, {"name": "file2"},
                            {"name": "File1"}])");
    ASSERT_TRUE(items);
    // Names equal but for case keep the guest's order.
    EXPECT_EQ(names(*items),
              (QStringList{"a", "B", "File1", "file2", "readme", "README", "Readme"}));
    EXPECT_EQ(items->at(4).size, 1u);
    EXPECT_EQ(items->at(6).size, 3u);
}

TEST(DirectoryListingTest, NumericRunsCompareByValue) {
    QList<model::FileItem> items;
    for (const char* name : {"img100.png", "img20.png", "img3.png", "IMG1.png", "img0020b.png"}) {
        model::FileItem item;
        item.name = QLatin1String(name);
        items.append(item);
    }
    sortFileItems(items);
    EXPECT_EQ(names(items).mid(0, 3), (QStringList{"IMG1.png", "img3.png", "img20.png"}));
    EXPECT_EQ(names(items).last(), QStringLiteral("img100.png"));
}

}  // namespace
}  // namespace quorvale::fileops
