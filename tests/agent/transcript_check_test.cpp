// The check and mount-choice methods against the real agent, which checks an image file as if
// it were the partition's block device: clean, damaged, skipped, and missing.

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "agent_process.h"
#include "rpc/ext_superblock.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;

bool sh(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Polls "check_status" until the check ends (a bound, not a timing check).
json::object finished(AgentClient& client) {
    for (int i = 0; i < 3000; ++i) {
        auto status = client.result("check_status", {{"partition", "sdb1"}}).as_object();
        if (status.at("state") != "running")
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the check never ended";
    return {};
}

class AgentCheck : public ::testing::Test {
protected:
    void SetUp() override {
        image = std::string(::testing::TempDir()) + "/check-" + std::to_string(::getpid()) + ".img";
        ASSERT_TRUE(sh("truncate -s 32M " + image + " && mkfs.ext4 -q -F -L CHECKED " + image));
    }
    void TearDown() override { std::remove(image.c_str()); }
    AgentOptions deviceOptions() const {
        AgentOptions options;
        options.arguments = {"--device", image};
        return options;
    }
    std::string image;
};

TEST_F(AgentCheck, CleanAndDamagedImagesGiveE2fsckStatusOutputAndSuperblock) {
    AgentProcess agent(deviceOptions());
    AgentClient client = agent.connect();
    EXPECT_EQ(client.result("check_filesystem", {{"partition", "sdb1"}}).at("started"), true);
    auto clean = finished(client);
    EXPECT_EQ(clean.at("state"), "finished");
    EXPECT_EQ(clean.at("exit_code"), 0) << json::serialize(clean);
    EXPECT_EQ(clean.at("percent"), 100);
    EXPECT_NE(clean.at("output").as_string().find("CHECKED: 11/"), json::string::npos)
        << "e2fsck's summary line: " << json::serialize(clean);
    const auto sb = rpc::parseExtSuperblock(unbase64(clean.at("superblock_b64")));
    ASSERT_TRUE(sb);
    EXPECT_EQ(sb->label, "CHECKED");

    // Damage: the root directory's inode points nowhere sensible.
    ASSERT_TRUE(sh("debugfs -w -R 'sif <2> links_count 7' " + image));
    client.result("check_filesystem", {{"partition", "sdb1"}});
    auto damaged = finished(client);
    EXPECT_EQ(damaged.at("exit_code"), 4) << json::serialize(damaged);
    EXPECT_NE(damaged.at("output").as_string().find("Inode 2 ref count is 7"), json::string::npos)
        << json::serialize(damaged);
}

TEST_F(AgentCheck, AWaitingStatusCallHasTheVerdictWithoutPolling) {
    AgentProcess agent(deviceOptions());
    AgentClient client = agent.connect();
    EXPECT_EQ(client.error("check_status", {{"partition", "sdb1"}, {"wait_ms", -1}}).at("code"),
              -32602);
    client.result("check_filesystem", {{"partition", "sdb1"}});
    // Each call waits up to 2 s (a larger wait is cut to that) for the check to end: a check of
    // a few milliseconds ends within a couple of calls, where an ignored wait needs hundreds.
    json::object status;
    int calls = 0;
    do {
        status = client.result("check_status", {{"partition", "sdb1"}, {"wait_ms", 3600000}})
                     .as_object();
    } while (status.at("state") == "running" && ++calls < 20);
    EXPECT_EQ(status.at("state"), "finished") << json::serialize(status);
    EXPECT_EQ(status.at("exit_code"), 0);
}

TEST_F(AgentCheck, ALongCheckCanBeSkippedAndUnknownChecksAreRefused) {
    // Many inodes make pass 1 last long enough to be stopped while it runs.
    ASSERT_TRUE(sh("truncate -s 1G " + image + " && mkfs.ext4 -q -F -N 200000 " + image));
    AgentProcess agent(deviceOptions());
    AgentClient client = agent.connect();
    EXPECT_EQ(client.error("check_status", {{"partition", "sdb1"}}).at("code"), -ENOENT);
    client.result("check_filesystem", {{"partition", "sdb1"}});
    EXPECT_EQ(client.result("check_cancel", {{"partition", "sdb1"}}), true);
    auto skipped = finished(client);
    EXPECT_EQ(skipped.at("state"), "cancelled") << json::serialize(skipped);
    EXPECT_NE(skipped.at("exit_code"), 0);
    // A check can start again afterwards.
    client.result("check_filesystem", {{"partition", "sdb1"}});
    EXPECT_EQ(finished(client).at("exit_code"), 0);
}

TEST(AgentCheckWithoutDevice, RefusesWithAClearError) {
    AgentProcess agent;
    AgentClient client = agent.connect();
    const auto error = client.error("check_filesystem", {{"partition", "sdb1"}});
    EXPECT_EQ(error.at("code"), -ENODEV);
    EXPECT_NE(error.at("message").as_string().find("no block device"), json::string::npos);
    EXPECT_EQ(client.error("check_filesystem", json::object{}).at("code"), -32602);
    // The host program serves a directory: a mount choice describes it, read-write.
    const auto mounted =
        client.result("mount_partition", {{"partition", "sdb1"}, {"read_only", true}});
    EXPECT_EQ(mounted.at("name"), "sdb1");
}

}  // namespace
}  // namespace quorvale::agent::test
