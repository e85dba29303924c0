// Transcripts of attempts to reach outside the served directory: "..", symlinks out of the
// tree, absolute symlinks, loops. Each either stays inside the tree or fails, and nothing
// outside changes.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <filesystem>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

class AgentSafety : public ::testing::Test {
protected:
    AgentProcess agent;
    AgentClient client = agent.connect();
    std::string outside = agent.workDir() + "/outside.txt";

    void SetUp() override {
        writeText(outside, "host secret");
        fs::create_directories(agent.root() + "/etc");
        writeText(agent.root() + "/etc/passwd", "card:x:0:0::/:/bin/sh\n");
        writeText(agent.root() + "/inside.txt", "card data");
    }
    std::string at(const std::string& path) const { return agent.root() + path; }
    std::int64_t errorCode(std::string_view method, json::object params) {
        const auto error = client.error(method, std::move(params));
        return error.contains("code") ? error.at("code").as_int64() : 0;
    }
    void expectOutsideUntouched() {
        EXPECT_EQ(readText(outside), "host secret");
        EXPECT_TRUE(fs::is_regular_file(outside));
    }
};

TEST_F(AgentSafety, DotDotPathsAreRefusedBeforeTouchingAnything) {
    for (const char* path :
         {"/../etc/passwd", "/../outside.txt", "/etc/../../outside.txt", "/./inside.txt"}) {
        EXPECT_EQ(errorCode("read_file", {{"path", path}, {"max_bytes", 100}}), -32602) << path;
        EXPECT_EQ(errorCode("write_file", {{"path", path}, {"data_b64", base64("x")}}), -32602)
            << path;
        EXPECT_EQ(errorCode("delete", {{"path", path}}), -32602) << path;
    }
    EXPECT_EQ(errorCode("list_dir", {{"path", ".."}}), -32602);
    EXPECT_EQ(errorCode("list_dir", {{"path", std::string("/etc\0/x", 7)}}), -32602);
    expectOutsideUntouched();
    EXPECT_EQ(readText(at("/etc/passwd")), "card:x:0:0::/:/bin/sh\n");
}

TEST_F(AgentSafety, SymlinkToTheHostRootStaysInsideTheTree) {
    ::symlink("/", at("/escape").c_str());
    // "/escape" resolves to the tree's own root: its passwd is the card's, not the host's.
    EXPECT_EQ(
        unbase64(client.result("read_file", {{"path", "/escape/etc/passwd"}, {"max_bytes", 1000}})),
        "card:x:0:0::/:/bin/sh\n");
    const auto listing = client.result("list_dir", {{"path", "/escape"}});
    ASSERT_TRUE(listing.is_array());
    EXPECT_EQ(listing.as_array().size(), 3u) << json::serialize(listing);
    client.result("write_file", {{"path", "/escape/etc/new"}, {"data_b64", base64("n")}});
    EXPECT_EQ(readText(at("/etc/new")), "n");
    EXPECT_FALSE(exists("/etc/new"));
}

TEST_F(AgentSafety, RelativeSymlinksOutOfTheTreeCannotReachTheHost) {
    ::symlink("../outside.txt", at("/up").c_str());
    ::symlink("../../../../../../..", at("/updir").c_str());
    EXPECT_EQ(errorCode("read_file", {{"path", "/up"}, {"max_bytes", 100}}), -ENOENT);
    EXPECT_EQ(errorCode("read_file", {{"path", "/updir/outside.txt"}, {"max_bytes", 100}}),
              -ENOENT);
    // "../../.." clamps at the tree's root.
    EXPECT_EQ(
        unbase64(client.result("read_file", {{"path", "/updir/inside.txt"}, {"max_bytes", 100}})),
        "card data");
    EXPECT_EQ(errorCode("copy_file", {{"path", "/updir/outside.txt"}, {"dest_path", "/stolen"}}),
              -ENOENT);
    EXPECT_FALSE(exists(at("/stolen")));

    // Writing to the link replaces the link itself; the host file is untouched.
    client.result("write_file", {{"path", "/up"}, {"data_b64", base64("overwrite?")}});
    expectOutsideUntouched();
    EXPECT_FALSE(fs::is_symlink(at("/up")));
    EXPECT_EQ(readText(at("/up")), "overwrite?");

    // Chunked uploads never write through a link either.
    client.result(
        "write_file",
        {{"path", "/updir/chunk"}, {"data_b64", base64("c")}, {"offset", 0}, {"final", true}});
    EXPECT_EQ(readText(at("/chunk")), "c");
    EXPECT_FALSE(exists(agent.workDir() + "/chunk"));
}

TEST_F(AgentSafety, AbsoluteSymlinksResolveInsideTheTree) {
    ::symlink("/inside.txt", at("/abs").c_str());
    ::symlink(outside.c_str(), at("/host-path").c_str());
    EXPECT_EQ(unbase64(client.result("read_file", {{"path", "/abs"}, {"max_bytes", 100}})),
              "card data");
    EXPECT_EQ(errorCode("read_file", {{"path", "/host-path"}, {"max_bytes", 100}}), -ENOENT);
    client.result("delete", {{"path", "/host-path"}});
    expectOutsideUntouched();
    EXPECT_FALSE(exists(at("/host-path")));
}

TEST_F(AgentSafety, SymlinkLoopsFail) {
    ::symlink("loop-b", at("/loop-a").c_str());
    ::symlink("loop-a", at("/loop-b").c_str());
    ::symlink("/self/x", at("/self").c_str());
    EXPECT_EQ(errorCode("read_file", {{"path", "/loop-a"}, {"max_bytes", 100}}), -ELOOP);
    EXPECT_EQ(errorCode("list_dir", {{"path", "/loop-a"}}), -ELOOP);
    EXPECT_EQ(errorCode("list_dir", {{"path", "/self"}}), -ELOOP);
    EXPECT_EQ(errorCode("write_file", {{"path", "/loop-b/x"}, {"data_b64", "eA=="}}), -ELOOP);
    // The loops themselves still list and delete as links.
    const auto listing = client.result("list_dir", {{"path", "/"}});
    EXPECT_EQ(listing.as_array().size(), 5u);
    client.result("delete", {{"path", "/loop-a"}});
    EXPECT_FALSE(exists(at("/loop-a")));
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentSafety, NonAbsolutePathsAreRefused) {
    for (const char* path : {"inside.txt", "", "etc/passwd", "~/x"}) {
        EXPECT_EQ(errorCode("read_file", {{"path", path}, {"max_bytes", 10}}), -32602) << path;
        EXPECT_EQ(errorCode("create_directory", {{"path", path}}), -32602) << path;
    }
    EXPECT_EQ(errorCode("copy_file", {{"path", "/inside.txt"}, {"dest_path", "copy.txt"}}), -32602);
    EXPECT_FALSE(exists(at("/copy.txt")));
    EXPECT_FALSE(exists("copy.txt"));
}

// Runs the agent listening on `path` for a moment: its exit status when it gave up, or -1 when
// it was still serving (it is stopped then).
int listenOnce(const std::string& root, const std::string& path) {
    const auto binary = agentBinary();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(binary.c_str(), binary.c_str(), "--root", root.c_str(), "--listen",
                ("unix:" + path).c_str(), nullptr);
        ::_exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && i > 10)
            break;
        ::usleep(20'000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

TEST(ListenSocket, OnlyAStaleSocketIsEverReplaced) {
    AgentProcess live;  // its socket has a listener
    const std::string dir = live.workDir();
    const std::string root = live.root();
    writeText(dir + "/file", "precious");
    std::filesystem::create_directory(dir + "/dir");
    ::symlink((dir + "/file").c_str(), (dir + "/link").c_str());
    // A socket whose listener has gone.
    EXPECT_EQ(listenOnce(root, dir + "/stale.sock"), -1);

    EXPECT_NE(listenOnce(root, dir + "/file"), -1);
    EXPECT_EQ(readText(dir + "/file"), "precious");
    EXPECT_NE(listenOnce(root, dir + "/dir"), -1);
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/dir"));
    EXPECT_NE(listenOnce(root, dir + "/link"), -1);
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link"));
    EXPECT_NE(listenOnce(root, live.socketPath()), -1);
    EXPECT_EQ(live.connect().result("ping"), json::value("pong"))
        << "the live agent kept its socket";

    // The stale one is taken over, and only its owner may connect.
    EXPECT_EQ(listenOnce(root, dir + "/stale.sock"), -1);
    struct stat st {};
    ASSERT_EQ(::lstat((dir + "/stale.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace quorvale::agent::test
