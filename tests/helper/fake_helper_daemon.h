#pragma once
// An in-process stand-in for quorvale-helper on a real Unix socket, for client tests that need
// replies the real daemon never gives (a descriptor together with an error, no answer at all,
// a late answer). It records every request line it receives.

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/json/object.hpp>

#include "rpc/unique_fd.h"

namespace quorvale::test {

struct FakeReply {
    std::string line;  // sent with a newline
    int fd = -1;       // borrowed; passed with SCM_RIGHTS when >= 0
    std::chrono::milliseconds delay{0};
};

class FakeHelperDaemon {
public:
    // Returns the reply to a request, or nothing to leave it unanswered.
    using Handler = std::function<std::optional<FakeReply>(const boost::json::object& request)>;

    FakeHelperDaemon(std::filesystem::path socketPath, Handler handler);
    ~FakeHelperDaemon();

    std::vector<std::string> receivedLines() const;
    int acceptedConnections() const;
    // Hangs up on every connected client.
    void dropConnections();
    // Answers each new connection with `line` at once and closes it, as the daemon turns a
    // peer away; empty: serves connections again.
    void turnAway(std::string line);

private:
    struct Scheduled {
        std::chrono::steady_clock::time_point due;
        int connection;
        FakeReply reply;
    };
    void loop();
    void handleLine(int connection, const std::string& line);

    std::filesystem::path socketPath;
    Handler handler;
    UniqueFd listener;
    UniqueFd wakeRead, wakeWrite;
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::pair<int, std::string>> clients;  // fd, partial input
    std::vector<Scheduled> scheduled;
    int accepted = 0;
    bool dropRequested = false;
    std::string turnAwayLine;
    bool stopping = false;
    std::thread thread;
};

// Sends one line with an optional descriptor (SCM_RIGHTS); false on failure.
bool sendLineWithFd(int socket, const std::string& line, int fd);
// Number of open descriptors of a process (/proc/PID/fd).
int openDescriptorCount(int pid);

}  // namespace quorvale::test
