#pragma once
// Accepts connections on the listening socket and serves each on its own thread, so a slow or
// stalled client never holds up another. A connection carries newline-delimited requests;
// each gets one reply line, written with its descriptor (SCM_RIGHTS) when it has one. A line
// longer than the limit, a stalled half line, a peer that stops reading or one that goes away
// ends only that connection; descriptors not delivered are closed.

#include <atomic>
#include <chrono>
#include <string>

#include "helper/request_handler.h"
#include "rpc/unique_fd.h"

namespace quorvale::helper {

struct ServerLimits {
    std::size_t maxLineBytes = 64 * 1024;
    int maxConnections = 64;
    std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
    std::chrono::milliseconds partialLineTimeout = std::chrono::seconds(30);
    std::chrono::milliseconds sendTimeout = std::chrono::seconds(10);
};

class HelperServer {
public:
    HelperServer(UniqueFd listener, const RequestHandler& handler, ServerLimits limits = {})
        : listener_(std::move(listener)), handler_(handler), limits_(limits) {}

    // Serves until the process ends.
    [[noreturn]] void run();

private:
    void serve(UniqueFd connection);

    UniqueFd listener_;
    const RequestHandler& handler_;
    ServerLimits limits_;
    std::atomic<int> active_{0};
};

// The socket passed by systemd socket activation (LISTEN_PID/LISTEN_FDS, first fd 3), or an
// invalid fd when the process was not socket-activated. Clears the variables.
UniqueFd activatedSocket();
// A listening socket bound to `path` (a stale socket file there is replaced), mode 0666:
// authorisation is per request, from the peer's credentials.
UniqueFd bindSocket(const std::string& path);

// Writes one reply line and its descriptor; false when the peer is gone or stopped reading.
bool sendReply(int socketFd, const Reply& reply);

}  // namespace quorvale::helper
