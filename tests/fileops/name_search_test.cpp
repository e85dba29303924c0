// The host's side of a search: what it accepts from the guest, and how it continues and stops.

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "fileops/file_operation_service.h"
#include "fileops/name_search.h"
#include "fileops/scripted_peer.h"
#include "guest/vsock_transport.h"

namespace quorvale::fileops {
namespace {

using testing::run;
using testing::ScriptedPeer;

QStringList pathsOf(const QList<model::FileItem>& items) {
    QStringList out;
    for (const model::FileItem& item : items)
        out << item.path;
    return out;
}

TEST(SearchBatchTest, KeepsOnlyMatchingEntriesBelowTheFolderUnderTheirOwnNames) {
    const boost::json::value reply = boost::json::parse(R"({"search":3,"done":false,"entries":[
        {"path":"/docs/a/Report.txt","name":"Report.txt","size":5,"is_directory":false},
        {"path":"/docs/reports","name":"reports","is_directory":true},
        {"path":"/etc/report","name":"report"},
        {"path":"/docsreport","name":"docsreport"},
        {"path":"/docs/../report","name":"report"},
        {"path":"/docs/./report","name":"report"},
        {"path":"/docs//report","name":"report"},
        {"path":"/docs/a/report","name":"other-report"},
        {"path":"/docs/a/notes","name":"notes"},
        {"name":"report"},
        {"path":7,"name":"report"},
        "report"]})");
    const auto batch = decodeSearchBatch(&reply, "/docs", "REPORT");
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->id, 3);
    EXPECT_FALSE(batch->done);
    EXPECT_EQ(pathsOf(batch->items), (QStringList{"/docs/a/Report.txt", "/docs/reports"}));
    EXPECT_EQ(batch->items[0].size, 5u);
    EXPECT_TRUE(batch->items[1].isDirectory);

    const boost::json::value root =
        boost::json::parse(R"({"search":1,"done":true,"truncated":true,"entries":[
        {"path":"/report","name":"report"}]})");
    const auto atRoot = decodeSearchBatch(&root, "/", "port");
    ASSERT_TRUE(atRoot);
    EXPECT_EQ(pathsOf(atRoot->items), QStringList{"/report"});
    EXPECT_TRUE(atRoot->truncated);

    for (const char* bad :
         {R"([])", R"({"search":1,"entries":[]})", R"({"search":"1","entries":[],"done":true})",
          R"({"search":1,"entries":{},"done":true})"}) {
        const boost::json::value value = boost::json::parse(bad);
        EXPECT_FALSE(decodeSearchBatch(&value, "/", "x")) << bad;
    }
    EXPECT_FALSE(decodeSearchBatch(nullptr, "/", "x"));
}

class SearchServiceTest : public ::testing::Test {
protected:
    void connect(ScriptedPeer::Script script) {
        testing::ensureApplication();
        peer = std::make_unique<ScriptedPeer>(std::move(script));
        transport.connect(peer->takeHostEnd());
    }
    void TearDown() override { transport.disconnect(); }

    guest::VsockTransport transport;
    std::unique_ptr<ScriptedPeer> peer;
    FileOperationService service{transport};
};

// A guest that finds one entry per call, forever.
std::optional<std::string> endlessSearch(const boost::json::object& request) {
    const std::string method(request.at("method").as_string());
    if (method == "search_end")
        return ScriptedPeer::result("true");
    static int n = 0;
    ++n;
    return ScriptedPeer::result(R"({"search":9,"done":false,"entries":[{"path":"/hit-)" +
                                std::to_string(n) + R"(","name":"hit-)" + std::to_string(n) +
                                R"("}]})");
}

TEST_F(SearchServiceTest, ContinuesUntilDoneAndEndsTheGuestsSearchWhenStopped) {
    connect([calls = 0](const boost::json::object& request) mutable -> std::optional<std::string> {
        const std::string method(request.at("method").as_string());
        ++calls;
        if (method == "search")
            return ScriptedPeer::result(
                R"({"search":4,"done":false,"entries":[{"path":"/a/hit","name":"hit"}]})");
        return ScriptedPeer::result(
            R"({"search":4,"done":true,"truncated":true,"entries":[{"path":"/b/hit","name":"hit"}]})");
    });
    QList<model::FileItem> found;
    int batches = 0;
    const auto outcome = run(service.search(
        "/", "hit", QStringLiteral("sdb2"),
        [&](QList<model::FileItem> items) {
            ++batches;
            found.append(items);
        },
        {}, 50));
    EXPECT_EQ(outcome, SearchOutcome::truncated);
    EXPECT_EQ(batches, 2);
    EXPECT_EQ(pathsOf(found), (QStringList{"/a/hit", "/b/hit"}));
    const auto lines = peer->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(R"("method":"search")"), std::string::npos);
    EXPECT_NE(lines[0].find(R"("query":"hit")"), std::string::npos);
    EXPECT_NE(lines[0].find(R"("max_results":50)"), std::string::npos);
    EXPECT_NE(lines[0].find(R"("partition":"sdb2")"), std::string::npos);
    EXPECT_NE(lines[1].find(R"("method":"search_next")"), std::string::npos);
    EXPECT_NE(lines[1].find(R"("search":4)"), std::string::npos);

    TearDown();
    connect(endlessSearch);
    std::stop_source stop;
    int seen = 0;
    const auto stopped = run(service.search(
        "/", "hit", std::nullopt,
        [&](QList<model::FileItem> items) {
            seen += int(items.size());
            if (seen == 3)
                stop.request_stop();
        },
        stop.get_token()));
    EXPECT_EQ(stopped, SearchOutcome::cancelled);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(peer->methods(),
              (std::vector<std::string>{"search", "search_next", "search_next", "search_end"}));
}

TEST_F(SearchServiceTest, AnAnswerOfAnotherShapeFailsTheSearch) {
    connect([](const boost::json::object&) { return ScriptedPeer::result(R"([1,2])"); });
    EXPECT_THROW(run(service.search("/", "x", std::nullopt, [](QList<model::FileItem>) {}, {})),
                 FileOperationError);
}

}  // namespace
}  // namespace quorvale::fileops
