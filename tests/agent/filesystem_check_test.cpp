// The pieces of the background filesystem check: e2fsck's progress lines (whole or split),
// its pass weighting, the bounded output, and children reaped by another thread.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "agent/child_process.h"
#include "agent/filesystem_check.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {
namespace {

TEST(CheckProgress, FollowsE2fsckPassWeights) {
    struct Case {
        int pass;
        std::uint64_t current, max;
        int percent;
    } cases[] = {
        {0, 0, 0, 0},
        {1, 0, 100, 0},
        {1, 50, 100, 35},
        {1, 100, 100, 70},
        {2, 0, 10, 70},
        {2, 5, 10, 80},
        {3, 1, 2, 91},
        {4, 9, 10, 94},
        {5, 10, 10, 100},
        {1, 200, 100, 70},
        {1, 5, 0, 0},
        {9, 0, 0, 100},
        {1, UINT64_MAX / 2, UINT64_MAX, 35},
    };
    for (const auto& c : cases)
        EXPECT_EQ(checkPercent(c.pass, c.current, c.max), c.percent)
            << c.pass << " " << c.current << "/" << c.max;

    ProgressParser parser;
    parser.feed("1 10 100 /dev/vda1\n1 5");
    EXPECT_EQ(parser.percent(), 7) << "the unfinished line is not used yet";
    parser.feed("0 100 /dev/vda1\n");
    EXPECT_EQ(parser.percent(), 35);
    parser.feed("garbage\n7 1 2 x\n-1 1 2\n2 1 2 /dev/vda1\n");
    EXPECT_EQ(parser.pass(), 2) << "bad lines are skipped, good ones after them read";
    EXPECT_EQ(parser.percent(), 80);
    parser.feed(std::string(10000, '9'));  // a line that never ends
    parser.feed("\n3 1 1 d\n");
    EXPECT_EQ(parser.percent(), 92);
}

TEST(CheckOutput, KeepsHeadAndTailAndCountsWhatItDrops) {
    BoundedOutput small(8, 4);
    small.append("Pass 1\n");
    EXPECT_EQ(small.text(), "Pass 1\n");
    BoundedOutput output(4, 4);
    output.append("abcdef");
    output.append("ghijkl");
    EXPECT_EQ(output.text(), "abcd\n[... 4 bytes left out ...]\nijkl");
    BoundedOutput bytes(16, 0);
    bytes.append("ok\xff");
    EXPECT_EQ(bytes.text(), "ok\xEF\xBF\xBD") << "output is valid UTF-8 for the reply";
}

TEST(ChildProcess, StatusSurvivesAnotherThreadReapingFirst) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    // The reaper runs as PID 1's loop would, racing the waiter for every child.
    std::atomic<bool> stop = false;
    std::thread reaper([&] {
        while (!stop) {
            reapChildren();
            std::this_thread::yield();
        }
    });
    for (int exitCode : {0, 4, 8, 0, 4}) {
        const pid_t pid = spawnChild(
            {"/bin/sh", "-c", "echo out; exit " + std::to_string(exitCode)}, writeEnd.get());
        const int status = waitChild(pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), exitCode);
    }
    stop = true;
    reaper.join();
    writeEnd.reset();
    char buffer[64];
    EXPECT_EQ(::read(readEnd.get(), buffer, sizeof buffer), 20) << "five lines of output";
    EXPECT_THROW(spawnChild({"/nonexistent/e2fsck"}, 1), std::exception);
}

}  // namespace
}  // namespace quorvale::agent
