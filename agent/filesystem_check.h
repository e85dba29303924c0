#pragma once
// FilesystemCheck: one read-only full check (`e2fsck -fn`) of an unmounted partition, running
// in the background so that the host can poll its progress and skip it. e2fsck reports its
// progress on a pipe (-C 3, lines "pass current max device"); its output is kept up to a bound.
// The superblock is read when the check starts, after the partition was unmounted.

#include <sys/types.h>

#include <boost/json/object.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace quorvale::agent {

// The first existing e2fsck among the usual places; empty when there is none.
std::string findE2fsck();

// e2fsck's own weighting of its five passes: whole percent done.
int checkPercent(int pass, std::uint64_t current, std::uint64_t max);

// Keeps the first `head` bytes and the last `tail` bytes of a stream, counting what it drops.
class BoundedOutput {
public:
    BoundedOutput(std::size_t head, std::size_t tail) : head_(head), tail_(tail) {}
    void append(std::string_view bytes);
    std::string text() const;

private:
    std::size_t head_, tail_;
    std::string start_, end_;
    std::uint64_t dropped_ = 0;
};

// Reads progress lines, complete or split across reads, and keeps the latest position.
class ProgressParser {
public:
    void feed(std::string_view bytes);
    int pass() const { return pass_; }
    int percent() const { return checkPercent(pass_, current_, max_); }

private:
    std::string partial_;
    int pass_ = 0;
    std::uint64_t current_ = 0, max_ = 0;
};

class FilesystemCheck {
public:
    // Starts e2fsck on `device` (throws AgentError when it cannot).
    FilesystemCheck(const std::string& e2fsck, const std::string& device, std::string superblock);
    ~FilesystemCheck();
    FilesystemCheck(const FilesystemCheck&) = delete;
    FilesystemCheck& operator=(const FilesystemCheck&) = delete;

    // {"state": "running" | "finished" | "cancelled", "pass", "percent", "exit_code" (once
    // finished), "output", "superblock_b64"}. A running check is first given up to `wait` to
    // end, so that a poller learns the verdict when it comes rather than at its next poll.
    boost::json::object status(std::chrono::milliseconds wait = {}) const;
    // Stops a running check (e2fsck ends with its "cancelled" status).
    void cancel();
    bool running() const;

private:
    void collect(int outputFd, int progressFd);

    pid_t pid_ = -1;
    std::string superblock_;
    mutable std::mutex mutex_;
    mutable std::condition_variable ended_;
    BoundedOutput output_{256 * 1024, 64 * 1024};
    ProgressParser progress_;
    bool finished_ = false;
    bool cancelled_ = false;
    int exitCode_ = -1;
    std::thread collector_;
};

}  // namespace quorvale::agent
