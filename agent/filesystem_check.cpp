#include "agent/filesystem_check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "agent/agent_error.h"
#include "agent/child_process.h"
#include "agent/utf8.h"
#include "rpc/base64.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

namespace {

// Percent reached at the start of each pass, as e2fsck weighs them.
constexpr int passStart[] = {0, 70, 90, 92, 95, 100};

std::pair<UniqueFd, UniqueFd> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw AgentError::systemDetail(errno, "pipe");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace

std::string findE2fsck() {
    for (const char* path : {"/sbin/e2fsck", "/usr/sbin/e2fsck", "/sbin/e2fsck.static"}) {
        if (::access(path, X_OK) == 0)
            return path;
    }
    return {};
}

int checkPercent(int pass, std::uint64_t current, std::uint64_t max) {
    if (pass <= 0)
        return 0;
    if (pass > 5)
        return 100;
    const int from = passStart[pass - 1], to = passStart[pass];
    if (max == 0 || current >= max)
        return current >= max && max != 0 ? to : from;
    // In floating point: the counts come from the device and may be as large as they like.
    return from + static_cast<int>((to - from) *
                                   (static_cast<double>(current) / static_cast<double>(max)));
}

void BoundedOutput::append(std::string_view bytes) {
    if (start_.size() < head_) {
        const std::size_t take = std::min(bytes.size(), head_ - start_.size());
        start_.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
    }
    if (bytes.empty())
        return;
    end_.append(bytes);
    if (end_.size() > tail_) {
        const std::size_t excess = end_.size() - tail_;
        dropped_ += excess;
        end_.erase(0, excess);
    }
}

std::string BoundedOutput::text() const {
    if (dropped_ == 0)
        return validUtf8(start_ + end_);
    return validUtf8(start_) + "\n[... " + std::to_string(dropped_) + " bytes left out ...]\n" +
           validUtf8(end_);
}

void ProgressParser::feed(std::string_view bytes) {
    partial_.append(bytes);
    std::size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
        const std::string line = partial_.substr(0, end);
        partial_.erase(0, end + 1);
        int pass = 0;
        std::uint64_t current = 0, max = 0;
        const char* p = line.data();
        const char* last = p + line.size();
        auto r = std::from_chars(p, last, pass);
        if (r.ec != std::errc() || r.ptr == last || *r.ptr != ' ')
            continue;
        r = std::from_chars(r.ptr + 1, last, current);
        if (r.ec != std::errc() || r.ptr == last || *r.ptr != ' ')
            continue;
        r = std::from_chars(r.ptr + 1, last, max);
        if (r.ec != std::errc() || pass < 1 || pass > 5)
            continue;
        pass_ = pass;
        current_ = current;
        max_ = max;
    }
    // A line never ends: keep the buffer bounded.
    if (partial_.size() > 4096)
        partial_.clear();
}

FilesystemCheck::FilesystemCheck(const std::string& e2fsck, const std::string& device,
                                 std::string superblock)
    : superblock_(std::move(superblock)) {
    if (e2fsck.empty())
        throw AgentError::systemDetail(ENOENT, "e2fsck is not in the VM image");
    auto [outputRead, outputWrite] = makePipe();
    auto [progressRead, progressWrite] = makePipe();
    pid_ =
        spawnChild({e2fsck, "-f", "-n", "-C", "3", device}, outputWrite.get(), progressWrite.get());
    outputWrite.reset();
    progressWrite.reset();
    collector_ = std::thread(
        [this, out = outputRead.release(), prog = progressRead.release()] { collect(out, prog); });
}

FilesystemCheck::~FilesystemCheck() {
    cancel();
    if (collector_.joinable())
        collector_.join();
}

void FilesystemCheck::collect(int outputFd, int progressFd) {
    UniqueFd output(outputFd), progress(progressFd);
    char buffer[16384];
    pollfd fds[2] = {{output.get(), POLLIN, 0}, {progress.get(), POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard lock(mutex_);
            if (i == 0)
                output_.append(std::string_view(buffer, static_cast<std::size_t>(n)));
            else
                progress_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
    }
    const int status = waitChild(pid_);
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ended_.notify_all();
}

boost::json::object FilesystemCheck::status(std::chrono::milliseconds wait) const {
    std::unique_lock lock(mutex_);
    if (wait.count() > 0)
        ended_.wait_for(lock, wait, [this] { return finished_; });
    boost::json::object o;
    o["state"] = !finished_ ? "running" : cancelled_ ? "cancelled" : "finished";
    o["pass"] = progress_.pass();
    o["percent"] = finished_ && !cancelled_ ? 100 : progress_.percent();
    if (finished_)
        o["exit_code"] = exitCode_;
    o["output"] = output_.text();
    o["superblock_b64"] = rpc::base64Encode(superblock_);
    return o;
}

void FilesystemCheck::cancel() {
    std::lock_guard lock(mutex_);
    if (finished_ || cancelled_)
        return;
    cancelled_ = true;
    // The pid stays ours until the collector has waited for it.
    ::kill(pid_, SIGTERM);
}

bool FilesystemCheck::running() const {
    std::lock_guard lock(mutex_);
    return !finished_;
}

}  // namespace quorvale::agent
