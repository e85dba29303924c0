#pragma once
// Accepts connections on the listening socket and serves each on its own thread, so a slow or
// stalled client never holds up another. The peer is authorised as it connects, before it
// counts for anything: a peer that may not use the helper, or one over its user's share or the
// total, gets one error line without an id and is closed at once, on the accepting thread. So
// nobody can hold connections that lock out an authorised user; root is held only to the total.
// A connection carries newline-delimited requests; each gets one reply line, written with its
// descriptor (SCM_RIGHTS) when it has one. Descriptors a client passes go with the request line
// they were sent with (at most PassedFds::maxFds a line; more mark it overflowed). A line
// longer than the limit, a line not complete within the request timeout of its first byte, a
// peer that stops reading or one that goes away ends only that connection; descriptors not
// delivered are closed. Each is logged. An idle connection is closed after the idle timeout
// unless it holds disks (DiskClaims): its claims end with it.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "helper/request_handler.h"
#include "rpc/unique_fd.h"

namespace quorvale::helper {

struct ServerLimits {
    std::size_t maxLineBytes = 64 * 1024;
    int maxConnections = 64;
    int maxConnectionsPerUser = 4;
    // Between requests; a request line, once begun, must end within requestTimeout.
    std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(5);
    std::chrono::milliseconds sendTimeout = std::chrono::seconds(10);
};

class HelperServer {
public:
    HelperServer(UniqueFd listener, const RequestHandler& handler, ServerLimits limits = {})
        : listener_(std::move(listener)), handler_(handler), limits_(limits) {}

    // Serves until the process ends.
    [[noreturn]] void run();

private:
    // Counts the peer in, or throws the Refusal it is turned away with.
    void admit(const PeerCredentials& peer);
    void leave(const PeerCredentials& peer);
    void serve(UniqueFd connection, const PeerCredentials& peer);

    UniqueFd listener_;
    const RequestHandler& handler_;
    ServerLimits limits_;
    std::mutex mutex_;
    int active_ = 0;
    std::map<uid_t, int> perUser_;
};

// The socket passed by systemd socket activation (LISTEN_PID/LISTEN_FDS, first fd 3), or an
// invalid fd when the process was not socket-activated. Clears the variables.
UniqueFd activatedSocket();
// A listening socket bound to `path` (a stale socket file there is replaced), mode 0666:
// authorisation is per connection and per request, from the peer's credentials.
UniqueFd bindSocket(const std::string& path);

// Writes one reply line and its descriptor; false when the peer is gone or stopped reading.
bool sendReply(int socketFd, const Reply& reply);
// Reads what the socket holds, like recv(), adding the descriptors that came with it (at most
// PassedFds::maxFds fit; the kernel closes the rest and `overflowed` is set).
ssize_t receive(int socketFd, char* buffer, std::size_t size, PassedFds& passed);
// Moves `from`'s descriptors to `to`, up to PassedFds::maxFds; the rest are closed and `to`
// counts as overflowed.
void takeFds(PassedFds& to, PassedFds& from);

}  // namespace quorvale::helper
