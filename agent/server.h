#pragma once
// Endpoints the agent listens on, and the loops that serve them: a listening socket (Unix or
// vsock) accepts connection after connection, each served on its own thread; a character
// device (virtio-serial port) is served session after session for as long as the agent runs.

#include <cstdint>
#include <functional>
#include <string>

#include "rpc/unique_fd.h"

namespace quorvale::agent {

class ChannelSecret;
class Dispatcher;

// Listening sockets; throw AgentError on failure. A Unix socket is created 0600; what is at its
// path is replaced only when it is a stale socket (nobody listening), otherwise refused.
UniqueFd listenUnix(const std::string& path);
UniqueFd listenVsock(std::uint32_t port);

// Accepts forever (returns only if the listening socket fails). With a `secret`, a connection
// must prove it within a few seconds (see ChannelSecret). At most a few connections are served
// at once: when full, the oldest unproven one that has had time to send its first line is ended
// to make room (new connections wait for that); when every one is proven, the new one gets one
// error line and is closed.
void serveListener(UniqueFd listener, const Dispatcher& dispatcher,
                   const ChannelSecret* secret = nullptr);

// Serves the port found by `openPort` (re-run whenever it cannot be opened); a host
// disconnect ends the session and the port waits for the next host. Never returns.
void serveCharDevice(const std::function<UniqueFd()>& openPort, const Dispatcher& dispatcher,
                     const ChannelSecret* secret = nullptr);

}  // namespace quorvale::agent
