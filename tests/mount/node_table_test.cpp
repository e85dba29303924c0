// NodeTable: the guest path of every node the kernel knows, through renames, exchanges,
// replaced names, hard links and forgotten folders.

#include <gtest/gtest.h>

#include "mount/node_table.h"

namespace quorvale::mount {
namespace {

constexpr std::uint64_t root = NodeTable::rootId;

TEST(NodeTable, PathsFollowRenamesExchangesAndReplacedNames) {
    NodeTable nodes(2);
    EXPECT_EQ(nodes.idOf(2), root);
    EXPECT_EQ(nodes.idOf(1), 2u) << "the mapping stays one to one";
    nodes.remember(root, "docs", 12);
    nodes.remember(12, "a.txt", 13);
    nodes.remember(12, "b.txt", 14);
    EXPECT_EQ(nodes.path(13), "/docs/a.txt");
    nodes.rename(12, "a.txt", root, "moved");
    EXPECT_EQ(nodes.path(13), "/moved");
    EXPECT_FALSE(nodes.find(12, "a.txt"));
    // Renamed over: the replaced node loses that name and with it its path.
    nodes.rename(12, "b.txt", root, "moved");
    EXPECT_EQ(nodes.path(14), "/moved");
    EXPECT_EQ(nodes.path(13), std::nullopt);
    nodes.remember(12, "c", 15);
    nodes.exchange(root, "moved", 12, "c");
    EXPECT_EQ(nodes.path(14), "/docs/c");
    EXPECT_EQ(nodes.path(15), "/moved");
    // Names travel escaped: a byte that is not UTF-8 becomes its private-use character.
    nodes.remember(root, "caf\xE9", 16);
    EXPECT_EQ(nodes.path(16), "/caf\xEF\x9F\xA9");
}

TEST(NodeTable, AHardLinkKeepsAPathWhenOneNameGoesAndForgetEndsTheNode) {
    NodeTable nodes(2);
    nodes.remember(root, "dir", 20);
    nodes.remember(20, "one", 30);
    nodes.remember(root, "two", 30);
    EXPECT_EQ(nodes.path(30), "/two") << "the name learnt last";
    nodes.dropName(root, "two");
    EXPECT_EQ(nodes.path(30), "/dir/one");
    // A folder forgotten by the kernel takes no path with it that another name still gives.
    nodes.remember(root, "three", 30);
    nodes.forget(20, 1);
    EXPECT_EQ(nodes.path(30), "/three");
    EXPECT_EQ(nodes.childPath(20, "x"), std::nullopt);
    nodes.forget(30, 2);
    EXPECT_EQ(nodes.path(30), "/three") << "one lookup is still held";
    nodes.forget(30, 1);
    EXPECT_EQ(nodes.path(30), std::nullopt);
    EXPECT_EQ(nodes.size(), 0u);
}

}  // namespace
}  // namespace quorvale::mount
