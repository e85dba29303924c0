#include "agent/server.h"

#include <linux/vm_sockets.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "agent/agent_error.h"
#include "agent/channel_secret.h"
#include "agent/connection.h"
#include "agent/dispatcher.h"
#include "agent/log.h"

namespace quorvale::agent {

namespace {

// Connections served at once; more wait until one ends. Each costs a reader thread and a read
// buffer.
constexpr std::size_t maxConnections = 8;
// Connections waiting to be accepted; they hold no thread.
constexpr int listenBacklog = 128;
// How long a new connection has to prove it knows the channel secret.
constexpr auto handshakeTime = std::chrono::seconds(5);

std::mutex connectionsMutex;
std::condition_variable connectionsChanged;
std::list<std::shared_ptr<Connection>> connections;  // oldest first; guarded by connectionsMutex

void track(const std::shared_ptr<Connection>& connection) {
    std::lock_guard lock(connectionsMutex);
    connections.push_back(connection);
}

void untrack(const Connection* connection) {
    {
        std::lock_guard lock(connectionsMutex);
        std::erase_if(connections, [&](const auto& c) { return c.get() == connection; });
    }
    connectionsChanged.notify_all();
}

// Makes room for the next connection before it is accepted. When all slots are taken, the
// oldest unproven connection that may be ended is ended (see Connection::endableFrom); while
// none may be yet, this waits, and new connections wait in the listen backlog, for one to end
// or to become endable. So strangers' idle connections cannot keep the app out, and a flood of
// them cannot end the app's connection while it sends its first line. False when every
// connection has proven the secret: those are never ended, the next one is turned away.
bool makeRoom() {
    std::unique_lock lock(connectionsMutex);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        auto wake = now + handshakeTime;
        std::size_t live = 0;
        bool anyUnproven = false;
        Connection* oldestEndable = nullptr;
        for (const auto& c : connections) {
            if (c->evicted())
                continue;
            ++live;
            if (c->authenticated())
                continue;
            anyUnproven = true;
            if (const auto from = c->endableFrom(); from > now)
                wake = std::min(wake, from);
            else if (!oldestEndable)
                oldestEndable = c.get();
        }
        if (live < maxConnections)
            return true;
        if (oldestEndable) {
            oldestEndable->evict();
            return true;
        }
        if (!anyUnproven)
            return false;
        connectionsChanged.wait_until(lock, wake);
    }
}

UniqueFd bindAndListen(int domain, const sockaddr* address, socklen_t length,
                       const std::string& what) {
    UniqueFd fd(::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        throw AgentError::systemDetail(errno, "socket for " + what);
    if (::bind(fd.get(), address, length) != 0)
        throw AgentError::systemDetail(errno, "bind " + what);
    if (::listen(fd.get(), listenBacklog) != 0)
        throw AgentError::systemDetail(errno, "listen " + what);
    return fd;
}

// Removes what is at `path` only when it is a socket nobody listens on (left by an agent that
// died); anything else there is refused, never deleted.
void removeStaleSocket(const std::string& path, const sockaddr_un& address) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return;
        throw AgentError::system(errno, path);
    }
    if (!S_ISSOCK(st.st_mode))
        throw AgentError::systemDetail(EEXIST, "not a socket, left alone: " + path);
    const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe)
        throw AgentError::systemDetail(errno, "socket for " + path);
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        throw AgentError::systemDetail(EADDRINUSE, "another program listens on " + path);
    if (errno != ECONNREFUSED)
        throw AgentError::system(errno, path);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw AgentError::system(errno, path);
}

// Turns a connection away with one error line.
void refuseConnection(UniqueFd client, std::string_view why) {
    const std::string line = R"({"jsonrpc":"2.0","id":null,"error":{"code":)" +
                             std::to_string(-EBUSY) + R"(,"message":")" + std::string(why) +
                             "\"}}\n";
    [[maybe_unused]] const auto n =
        ::send(client.get(), line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

UniqueFd listenUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw AgentError::systemDetail(ENAMETOOLONG, path);
    std::memcpy(address.sun_path, path.data(), path.size());
    removeStaleSocket(path, address);
    // Only the owner may connect: the socket file's permissions are what guards this mode.
    const mode_t oldMask = ::umask(0177);
    try {
        auto fd = bindAndListen(AF_UNIX, reinterpret_cast<const sockaddr*>(&address),
                                sizeof address, path);
        ::umask(oldMask);
        return fd;
    } catch (...) {
        ::umask(oldMask);
        throw;
    }
}

UniqueFd listenVsock(std::uint32_t port) {
    sockaddr_vm address{};
    address.svm_family = AF_VSOCK;
    address.svm_cid = VMADDR_CID_ANY;
    address.svm_port = port;
    return bindAndListen(AF_VSOCK, reinterpret_cast<const sockaddr*>(&address), sizeof address,
                         "vsock port " + std::to_string(port));
}

void serveListener(UniqueFd listener, const Dispatcher& dispatcher, const ChannelSecret* secret) {
    for (;;) {
        const bool room = makeRoom();
        UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE ||
                errno == ENOBUFS || errno == ENOMEM) {
                if (errno != EINTR && errno != ECONNABORTED)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            logLine("accept failed: " + errnoText(errno));
            return;
        }
        if (!room && !makeRoom()) {
            refuseConnection(std::move(client), "Too many connections");
            continue;
        }
        try {
            SessionRules rules;
            rules.secret = secret;
            rules.handshakeDeadline = std::chrono::steady_clock::now() + handshakeTime;
            auto connection = std::make_shared<Connection>(
                std::make_shared<Stream>(std::move(client)), dispatcher, rules);
            track(connection);
            try {
                std::thread([connection] {
                    connection->serve();
                    untrack(connection.get());
                }).detach();
            } catch (...) {
                untrack(connection.get());
                throw;
            }
        } catch (const std::exception& e) {
            logLine(std::string("cannot serve a connection: ") + e.what());
        }
    }
}

void serveCharDevice(const std::function<UniqueFd()>& openPort, const Dispatcher& dispatcher,
                     const ChannelSecret* secret) {
    std::shared_ptr<Stream> stream;
    // The port shows up while the guest boots: look often at first, then now and then.
    auto retry = std::chrono::milliseconds(5);
    for (;;) {
        if (!stream) {
            UniqueFd fd = openPort();
            if (!fd) {
                std::this_thread::sleep_for(retry);
                retry = std::min(retry * 2, std::chrono::milliseconds(50));
                continue;
            }
            stream = std::make_shared<Stream>(std::move(fd));
        }
        SessionRules rules;
        rules.secret = secret;
        rules.endOnRefusal = false;
        auto connection = std::make_shared<Connection>(stream, dispatcher, rules);
        const auto bytes = connection->serve();
        connection->abandon();
        // Without a host the port reads as ended at once: wait a little before looking again.
        if (bytes == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace quorvale::agent
