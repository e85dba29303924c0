// Transcripts of the search methods and of the sizes "dir_usage" reports, against a real
// directory served by the agent.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <filesystem>
#include <set>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

// As the protocol states them.
constexpr std::size_t matchesPerCall = 200;
constexpr std::size_t searchesPerConnection = 4;

class AgentSearch : public ::testing::Test {
protected:
    AgentProcess agent;
    AgentClient client = agent.connect();

    std::string at(const std::string& path) const { return agent.root() + path; }
    void file(const std::string& path, std::string_view text = "x") {
        fs::create_directories(fs::path(at(path)).parent_path());
        writeText(at(path), text);
    }

    struct Found {
        std::vector<std::string> paths;  // in the order they came
        std::vector<std::size_t> batches;
        bool truncated = false;
        std::int64_t id = 0;
    };
    // Runs a search to its end, batch after batch.
    Found search(const std::string& path, const std::string& query, json::object extra = {}) {
        Found found;
        extra["path"] = path;
        extra["query"] = query;
        json::value reply = client.result("search", extra);
        for (int calls = 0; calls < 1000 && reply.is_object(); ++calls) {
            const auto& o = reply.as_object();
            found.id = o.at("search").as_int64();
            found.batches.push_back(o.at("entries").as_array().size());
            for (const auto& e : o.at("entries").as_array())
                found.paths.emplace_back(e.at("path").as_string());
            if (o.at("done").as_bool()) {
                found.truncated = o.at("truncated").as_bool();
                return found;
            }
            reply = client.result("search_next", {{"search", found.id}});
        }
        ADD_FAILURE() << "the search did not end";
        return found;
    }
    static std::set<std::string> asSet(const std::vector<std::string>& paths) {
        return {paths.begin(), paths.end()};
    }
};

TEST_F(AgentSearch, FindsNamesAtAnyDepthWithoutRegardToCase) {
    file("/Docs/Report.TXT");
    file("/Docs/sub/deep/report-old.txt");
    file("/other/notes.md");
    file("/other/Café au lait.txt");
    file("/other/Документ.txt");
    fs::create_directories(at("/reports/empty"));
    // Deeper than the walk's open directories.
    std::string deep;
    for (int i = 0; i < 40; ++i)
        deep += "/d" + std::to_string(i);
    file(deep + "/REPORT-bottom");

    const auto reports = search("/", "rEpOrT");
    EXPECT_EQ(asSet(reports.paths),
              (std::set<std::string>{"/Docs/Report.TXT", "/Docs/sub/deep/report-old.txt",
                                     "/reports", deep + "/REPORT-bottom"}));
    EXPECT_EQ(reports.paths.size(), 4u) << "each entry once";
    EXPECT_FALSE(reports.truncated);
    EXPECT_EQ(asSet(search("/", "CAFÉ").paths), std::set<std::string>{"/other/Café au lait.txt"});
    EXPECT_EQ(asSet(search("/", "документ").paths), std::set<std::string>{"/other/Документ.txt"});
    // Below a folder only, and entries carry what a listing carries.
    const auto json = client.result("search", {{"path", "/Docs"}, {"query", "report"}});
    const auto& entries = json.at("entries").as_array();
    ASSERT_EQ(entries.size(), 2u) << json::serialize(json);
    for (const auto& e : entries) {
        EXPECT_TRUE(e.as_object().contains("size"));
        EXPECT_TRUE(e.as_object().contains("mtime"));
        EXPECT_FALSE(e.at("is_directory").as_bool());
        const std::string path(e.at("path").as_string());
        EXPECT_EQ(path.substr(path.rfind('/') + 1), std::string(e.at("name").as_string()));
    }
    EXPECT_TRUE(json.at("done").as_bool());
}

TEST_F(AgentSearch, NeverFollowsLinksOutOfTheFolderOrRoundInCircles) {
    file("/a/match-inside.txt");
    writeText(agent.workDir() + "/match-outside.txt", "secret");
    ASSERT_EQ(::symlink(agent.workDir().c_str(), at("/a/escape").c_str()), 0);
    ASSERT_EQ(::symlink("..", at("/a/loop").c_str()), 0);
    ASSERT_EQ(::symlink("match-inside.txt", at("/a/match-link").c_str()), 0);
    const auto found = search("/", "match");
    EXPECT_EQ(asSet(found.paths), (std::set<std::string>{"/a/match-inside.txt", "/a/match-link"}));
    EXPECT_EQ(found.paths.size(), 2u);
    const auto links = client.result("search", {{"path", "/"}, {"query", "match-link"}});
    ASSERT_EQ(links.at("entries").as_array().size(), 1u);
    const auto& link = links.at("entries").as_array()[0];
    EXPECT_TRUE(link.at("is_symlink").as_bool());
    EXPECT_EQ(link.at("symlink_target"), json::value("match-inside.txt"));
}

TEST_F(AgentSearch, ResultsComeInBatchesUpToTheLimit) {
    for (int i = 0; i < 450; ++i)
        file("/many/" + std::to_string(i / 100) + "/hit-" + std::to_string(i));
    file("/many/miss");
    const auto all = search("/", "HIT");
    EXPECT_EQ(all.paths.size(), 450u);
    EXPECT_EQ(asSet(all.paths).size(), 450u) << "no entry twice across batches";
    EXPECT_GE(all.batches.size(), 3u) << "at most 200 matches a call";
    for (const auto size : all.batches)
        EXPECT_LE(size, matchesPerCall);
    EXPECT_FALSE(all.truncated);
    // A finished search is gone.
    EXPECT_EQ(client.error("search_next", {{"search", all.id}}).at("code"), json::value(-32602));

    const auto limited = search("/", "hit", {{"max_results", 120}});
    EXPECT_EQ(limited.paths.size(), 120u);
    EXPECT_TRUE(limited.truncated);
}

TEST_F(AgentSearch, SearchesEndWhenAskedAndBelongToTheirConnection) {
    for (int i = 0; i < 300; ++i)
        file("/f/hit-" + std::to_string(i));
    const auto first = client.result("search", {{"path", "/"}, {"query", "hit"}});
    ASSERT_FALSE(first.at("done").as_bool());
    const auto id = first.at("search").as_int64();

    AgentClient stranger = agent.connect();
    EXPECT_EQ(stranger.error("search_next", {{"search", id}}).at("code"), json::value(-32602));
    EXPECT_EQ(stranger.result("search_end", {{"search", id}}), json::value(false));

    EXPECT_EQ(client.result("search_end", {{"search", id}}), json::value(true));
    EXPECT_EQ(client.result("search_end", {{"search", id}}), json::value(false));
    EXPECT_EQ(client.error("search_next", {{"search", id}}).at("code"), json::value(-32602));

    // Four at a time per connection; ending one makes room.
    std::vector<std::int64_t> running;
    for (std::size_t i = 0; i < searchesPerConnection; ++i)
        running.push_back(
            client.result("search", {{"path", "/"}, {"query", "hit"}}).at("search").as_int64());
    EXPECT_EQ(client.error("search", {{"path", "/"}, {"query", "hit"}}).at("code"),
              json::value(-16));
    EXPECT_EQ(stranger.result("search", {{"path", "/"}, {"query", "hit-299"}}).at("done"),
              json::value(true))
        << "another connection has its own share";
    EXPECT_EQ(client.result("search_end", {{"search", running[0]}}), json::value(true));
    EXPECT_TRUE(client.result("search", {{"path", "/"}, {"query", "hit"}}).is_object());

    EXPECT_EQ(client.error("search", {{"path", "/"}, {"query", ""}}).at("code"),
              json::value(-32602));
    EXPECT_EQ(client.error("search", {{"path", "/nowhere"}, {"query", "x"}}).at("code"),
              json::value(-2));
    EXPECT_EQ(client.error("search", {{"path", "/../x"}, {"query", "x"}}).at("code"),
              json::value(-32602));
}

TEST_F(AgentSearch, UsageCountsTheBlocksEntriesTakeOnTheDisk) {
    file("/data/big.bin", std::string(200000, 'b'));
    ASSERT_EQ(::link(at("/data/big.bin").c_str(), at("/data/big-again.bin").c_str()), 0);
    // Ten megabytes that take no blocks.
    {
        const int fd = ::open(at("/sparse.img").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 10'000'000), 0);
        ::close(fd);
    }
    const auto blocks = [&](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(at(path).c_str(), &st), 0);
        return static_cast<std::int64_t>(st.st_blocks) * 512;
    };
    std::map<std::string, json::object> usage;
    const json::value reply = client.result("dir_usage", {{"path", "/"}});
    for (const auto& e : reply.as_array())
        usage[std::string(e.at("name").as_string())] = e.as_object();
    ASSERT_EQ(usage.size(), 2u);
    EXPECT_EQ(usage["sparse.img"].at("size"), json::value(10'000'000));
    EXPECT_EQ(usage["sparse.img"].at("allocated"), json::value(blocks("/sparse.img")));
    EXPECT_LT(usage["sparse.img"].at("allocated").as_int64(), 1'000'000);
    // Both names are listed in the size; the blocks they share count once.
    EXPECT_EQ(usage["data"].at("size"), json::value(400000));
    EXPECT_EQ(usage["data"].at("allocated"),
              json::value(blocks("/data") + blocks("/data/big.bin")));
    EXPECT_GE(blocks("/data/big.bin"), 200000);
}

}  // namespace
}  // namespace quorvale::agent::test
