// Upload chunks that reach their write out of order wait for the chunk before them.

#include "agent/chunk_order.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "rpc/unique_fd.h"

namespace quorvale::agent {
namespace {

using namespace std::chrono_literals;

class ChunkOrderTest : public ::testing::Test {
protected:
    ChunkOrderTest() {
        char pattern[] = "/tmp/quorvale-chunk-order-XXXXXX";
        fd = UniqueFd(::mkstemp(pattern));
        ::unlink(pattern);
    }
    void append(std::size_t bytes) {
        const std::string data(bytes, 'x');
        ASSERT_EQ(::write(fd.get(), data.data(), data.size()), static_cast<ssize_t>(bytes));
    }
    std::future<std::int64_t> awaitInBackground(std::int64_t offset,
                                                std::chrono::milliseconds patience) {
        return std::async(std::launch::async, [this, offset, patience] {
            return awaitUploadSize(fd.get(), offset, "/up.bin", patience);
        });
    }

    UniqueFd fd;
};

TEST_F(ChunkOrderTest, ChunkWaitsForAWriteThatOutlastsItsPatience) {
    auto waiting = awaitInBackground(4096, 100ms);
    {
        const ChunkWrite slow(fd.get());
        std::this_thread::sleep_for(400ms);  // a slow card, four times the patience
        append(4096);
    }
    EXPECT_EQ(waiting.get(), 4096);
}

TEST_F(ChunkOrderTest, ChunkGivesUpOnAFileNobodyWrites) {
    append(10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(awaitUploadSize(fd.get(), 4096, "/up.bin", 100ms), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // A chunk at or behind the end does not wait at all.
    EXPECT_EQ(awaitUploadSize(fd.get(), 10, "/up.bin", 10s), 10);
    EXPECT_EQ(awaitUploadSize(fd.get(), 4, "/up.bin", 10s), 10);
}

TEST_F(ChunkOrderTest, WritesToOtherFilesDoNotKeepAChunkWaiting) {
    char pattern[] = "/tmp/quorvale-chunk-order-XXXXXX";
    const UniqueFd other(::mkstemp(pattern));
    ::unlink(pattern);
    const ChunkWrite elsewhere(other.get());
    EXPECT_EQ(awaitInBackground(4096, 100ms).wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace quorvale::agent
