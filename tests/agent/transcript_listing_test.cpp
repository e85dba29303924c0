// Transcripts of paged listings, and of a real ext4 card with a damaged inode: every reading
// method lists what it can and names what it cannot, never hiding the rest.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

constexpr std::size_t entriesPerPage = 2000;  // as the protocol states

struct Paged {
    std::vector<std::size_t> pages;
    std::map<std::string, json::object> entries;
};

// Reads a listing to its end, page after page.
Paged listPaged(AgentClient& client, const std::string& path) {
    Paged paged;
    json::value reply = client.result("list_dir_start", {{"path", path}});
    for (int calls = 0; calls < 10000 && reply.is_object(); ++calls) {
        const auto& o = reply.as_object();
        paged.pages.push_back(o.at("entries").as_array().size());
        for (const auto& e : o.at("entries").as_array())
            paged.entries.emplace(std::string(e.at("name").as_string()), e.as_object());
        if (o.at("done").as_bool())
            return paged;
        reply = client.result("list_dir_next", {{"listing", o.at("listing")}});
    }
    ADD_FAILURE() << "the listing did not end";
    return paged;
}

// An agent serving "/big" with `files` files "f0", "f1", ... of one byte.
AgentOptions bigFolder(int files) {
    AgentOptions options;
    options.prepare = [files](const std::string& root) {
        fs::create_directory(root + "/big");
        for (int i = 0; i < files; ++i)
            writeText(root + "/big/f" + std::to_string(i), "x");
    };
    return options;
}

TEST(PagedListing, ComesInPagesThatAddUpToTheWholeFolder) {
    constexpr int files = 4500;
    AgentProcess agent(bigFolder(files));
    fs::create_directory(agent.root() + "/big/sub");
    AgentClient client = agent.connect();
    const Paged paged = listPaged(client, "/big");
    EXPECT_GE(paged.pages.size(), 3u);
    for (const std::size_t page : paged.pages)
        EXPECT_LE(page, entriesPerPage);
    ASSERT_EQ(paged.entries.size(), files + 1u);
    EXPECT_TRUE(paged.entries.at("sub").at("is_directory").as_bool());
    EXPECT_EQ(paged.entries.at("f4499").at("size"), json::value(1));
    // The same entries as one whole listing.
    std::set<std::string> whole;
    const json::value listed = client.result("list_dir", {{"path", "/big"}});
    for (const auto& e : listed.as_array())
        whole.emplace(e.at("name").as_string());
    EXPECT_EQ(whole.size(), paged.entries.size());
    EXPECT_EQ(*whole.rbegin(), paged.entries.rbegin()->first);
}

TEST(PagedListing, EndsWhenAskedAndBelongsToItsConnection) {
    AgentProcess agent(bigFolder(2500));
    AgentClient client = agent.connect();
    AgentClient other = agent.connect();
    const auto first = client.result("list_dir_start", {{"path", "/big"}}).as_object();
    ASSERT_FALSE(first.at("done").as_bool());
    const json::object id{{"listing", first.at("listing")}};
    EXPECT_EQ(other.error("list_dir_next", id).at("code"), json::value(-32602));
    EXPECT_EQ(other.result("list_dir_end", id), json::value(false));
    EXPECT_EQ(client.result("list_dir_end", id), json::value(true));
    EXPECT_EQ(client.error("list_dir_next", id).at("code"), json::value(-32602));

    // A connection holds a few listings at most; ending one makes room.
    std::vector<json::value> open;
    for (int i = 0; i < 4; ++i)
        open.push_back(client.result("list_dir_start", {{"path", "/big"}}).at("listing"));
    EXPECT_EQ(client.error("list_dir_start", {{"path", "/big"}}).at("code"), json::value(-16));
    client.result("list_dir_end", {{"listing", open.front()}});
    EXPECT_TRUE(client.result("list_dir_start", {{"path", "/big"}}).is_object());
}

// An ext4 card made with mkfs.ext4 -d whose /etc inode is cleared (debugfs clri), mounted
// read-only through a loop device below the served directory as /card. Needs root.
class DamagedCard : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "mounting a card needs root";
        const std::string tree = agent.workDir() + "/tree";
        for (const char* dir : {"/etc", "/home/pi/.ssh", "/var/log", "/boot"})
            fs::create_directories(tree + dir);
        writeText(tree + "/etc/hostname", "pi\n");
        writeText(tree + "/home/pi/notes.txt", "notes");
        writeText(tree + "/home/pi/.ssh/authorized_keys", "ssh-ed25519 AAAA");
        writeText(tree + "/var/log/etc-backup.log", std::string(5000, 'x'));
        image = agent.workDir() + "/card.img";
        const std::string make = "truncate -s 16M " + image + " && mkfs.ext4 -q -F -d " + tree +
                                 " " + image + " && debugfs -w -R 'clri /etc' " + image +
                                 " >/dev/null 2>&1";
        ASSERT_EQ(std::system(make.c_str()), 0);
        mountPoint = agent.root() + "/card";
        fs::create_directory(mountPoint);
        const std::string mount = "mount -o loop,ro,noload " + image + " " + mountPoint;
        if (std::system(mount.c_str()) != 0)
            GTEST_SKIP() << "no loop devices here";
        mounted = true;
    }
    void TearDown() override {
        if (mounted)
            ::umount2(mountPoint.c_str(), MNT_DETACH);
    }

    AgentProcess agent;
    AgentClient client = agent.connect();
    std::string image, mountPoint;
    bool mounted = false;
};

TEST_F(DamagedCard, ListingsNameTheUnreadableEntryAndShowTheRest) {
    const auto expectEtcUnreadable = [](const json::object& etc) {
        EXPECT_EQ(etc.at("unreadable"), json::value("Structure needs cleaning"));
        EXPECT_FALSE(etc.contains("size"));
    };
    std::map<std::string, json::object> whole;
    const json::value listed = client.result("list_dir", {{"path", "/card"}});
    for (const auto& e : listed.as_array())
        whole.emplace(e.at("name").as_string(), e.as_object());
    for (const char* name : {"etc", "home", "var", "boot", "lost+found"})
        EXPECT_TRUE(whole.contains(name)) << name;
    expectEtcUnreadable(whole.at("etc"));
    EXPECT_FALSE(whole.at("home").contains("unreadable"));
    EXPECT_TRUE(whole.at("home").at("is_directory").as_bool());

    const Paged paged = listPaged(client, "/card");
    EXPECT_EQ(paged.entries.size(), whole.size());
    expectEtcUnreadable(paged.entries.at("etc"));

    // Opening it fails with the reason.
    const auto error = client.error("read_file", {{"path", "/card/etc/hostname"}});
    EXPECT_NE(std::string(error.at("message").as_string()).find("Structure needs cleaning"),
              std::string::npos);
}

TEST_F(DamagedCard, SearchAndUsageGoOnPastIt) {
    std::set<std::string> found;
    std::int64_t unreadable = 0;
    json::value reply = client.result("search", {{"path", "/card"}, {"query", "e"}});
    for (int calls = 0; calls < 100; ++calls) {
        const auto& o = reply.as_object();
        for (const auto& e : o.at("entries").as_array())
            found.emplace(e.at("path").as_string());
        unreadable += o.at("unreadable").as_int64();
        if (o.at("done").as_bool())
            break;
        reply = client.result("search_next", {{"search", o.at("search")}});
    }
    EXPECT_TRUE(found.contains("/card/home/pi/notes.txt"));
    EXPECT_TRUE(found.contains("/card/var/log/etc-backup.log"));
    EXPECT_TRUE(found.contains("/card/home/pi/.ssh/authorized_keys"));
    EXPECT_EQ(unreadable, 1);

    std::map<std::string, json::object> usage;
    const json::value sizes = client.result("dir_usage", {{"path", "/card"}});
    for (const auto& e : sizes.as_array())
        usage.emplace(e.at("name").as_string(), e.as_object());
    EXPECT_EQ(usage.at("etc").at("unreadable"), json::value("Structure needs cleaning"));
    EXPECT_EQ(usage.at("var").at("size"), json::value(5000));
    EXPECT_FALSE(usage.at("var").contains("unreadable_below"));
    EXPECT_EQ(usage.at("home").at("size"), json::value(5 + 16));
}

}  // namespace
}  // namespace quorvale::agent::test
