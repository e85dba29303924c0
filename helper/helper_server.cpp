#include "helper/helper_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "helper/refusal.h"
#include "rpc/fd_passing.h"
#include "rpc/line_buffer.h"

namespace quorvale::helper {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void setTimeout(int fd, int option, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

UniqueFd activatedSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    const bool ours = pid && fds && std::strtol(pid, nullptr, 10) == ::getpid() &&
                      std::strtol(fds, nullptr, 10) >= 1;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!ours)
        return {};
    constexpr int first = 3;  // SD_LISTEN_FDS_START
    struct stat st {};
    if (::fstat(first, &st) != 0 || !S_ISSOCK(st.st_mode))
        return {};
    ::fcntl(first, F_SETFD, FD_CLOEXEC);
    return UniqueFd(first);
}

UniqueFd bindSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw std::invalid_argument("socket path too long: " + path);
    std::memcpy(address.sun_path, path.data(), path.size());

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        fail("socket");
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("bind " + path);
    if (::chmod(path.c_str(), 0666) != 0 || ::listen(fd.get(), SOMAXCONN) != 0)
        fail("listen " + path);
    return fd;
}

bool sendReply(int socketFd, const Reply& reply) {
    const std::string data = rpc::frame(reply.line);
    std::size_t sent = 0;
    bool attachFd = reply.fd.valid();
    while (sent < data.size()) {
        iovec iov{const_cast<char*>(data.data() + sent), data.size() - sent};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        rpc::OneFdControl control;
        if (attachFd)
            rpc::attachFd(msg, control, reply.fd.get());
        const ssize_t n = ::sendmsg(socketFd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;  // gone, or not reading within the send timeout
        }
        attachFd = false;  // travels with the first byte only
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void HelperServer::admit(const PeerCredentials& peer) {
    handler_.authorize(peer);
    std::lock_guard lock(mutex_);
    if (active_ >= limits_.maxConnections)
        throw Refusal(Refusal::Kind::failed, "Too many connections to the helper; try again");
    int& mine = perUser_[peer.uid];
    if (peer.uid != 0 && mine >= limits_.maxConnectionsPerUser) {
        if (mine == 0)
            perUser_.erase(peer.uid);
        throw Refusal(Refusal::Kind::failed,
                      "Too many connections from user " + std::to_string(peer.uid));
    }
    ++mine;
    ++active_;
}

void HelperServer::leave(const PeerCredentials& peer) {
    std::lock_guard lock(mutex_);
    --active_;
    if (const auto it = perUser_.find(peer.uid); it != perUser_.end() && --it->second <= 0)
        perUser_.erase(it);
}

void HelperServer::run() {
    for (;;) {
        UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        const PeerCredentials peer = peerCredentials(connection.get());
        try {
            admit(peer);
        } catch (const Refusal& refusal) {
            // Answered without waiting for the peer, then closed: it costs no thread.
            const std::string line =
                rpc::frame(RequestHandler::connectionRefused(peer, refusal).line);
            [[maybe_unused]] const auto sent =
                ::send(connection.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            continue;
        }
        try {
            std::thread([this, peer, fd = std::move(connection)]() mutable {
                serve(std::move(fd), peer);
                leave(peer);
            }).detach();
        } catch (const std::system_error&) {
            leave(peer);  // no thread to be had: the connection closes
        }
    }
}

void HelperServer::serve(UniqueFd connection, const PeerCredentials& peer) {
    using Clock = std::chrono::steady_clock;
    setTimeout(connection.get(), SO_SNDTIMEO, limits_.sendTimeout);
    rpc::LineBuffer lines(limits_.maxLineBytes);
    std::optional<Clock::time_point> lineDue;  // set while a request line is incomplete
    PassedFds carried;                         // came with the line not yet complete
    DiskClaims claims;                         // dropped as the connection ends
    char buffer[4096];
    for (;;) {
        if (lines.overflowed()) {
            sendReply(connection.get(), RequestHandler::lineTooLong(peer));
            return;
        }
        if (lines.pendingBytes() > 0 && !lineDue)
            lineDue = Clock::now() + limits_.requestTimeout;
        // A connection that holds disks is the client's proof for them: it stays while idle.
        const auto wait =
            lineDue ? std::chrono::duration_cast<std::chrono::milliseconds>(*lineDue - Clock::now())
                    : limits_.idleTimeout;
        const bool waitForever = !lineDue && !claims.empty();
        pollfd pfd{connection.get(), POLLIN, 0};
        const int ready = ::poll(
            &pfd, 1, waitForever ? -1 : static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return;
        if (ready == 0) {
            // A request begun and not finished in time (a slow or stalled client) is answered
            // and dropped; an idle connection just closes.
            if (lineDue)
                sendReply(connection.get(), RequestHandler::requestTimedOut(peer));
            return;
        }
        PassedFds got;
        const ssize_t n = receive(connection.get(), buffer, sizeof buffer, got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        const std::string_view chunk(buffer, static_cast<std::size_t>(n));
        lines.append(chunk);
        // Descriptors belong to the line holding the last byte read with them: a read ends with
        // the bytes a descriptor was sent with, and a client sends a line's descriptor with
        // bytes of that line only.
        const bool endsLine = chunk.back() == '\n';
        std::optional<std::string> line = lines.nextLine();
        while (line) {
            std::optional<std::string> next = lines.nextLine();
            PassedFds passed = std::exchange(carried, PassedFds{});
            if (!next && endsLine)
                takeFds(passed, got);
            lineDue.reset();
            if (!sendReply(connection.get(),
                           handler_.handle(*line, peer, claims, std::move(passed))))
                return;
            line = std::move(next);
        }
        takeFds(carried, got);
    }
}

ssize_t receive(int socketFd, char* buffer, std::size_t size, PassedFds& passed) {
    iovec iov{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * PassedFds::maxFds)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socketFd, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0)
        return n;
    // Every descriptor is owned at once; the kernel closed those it had no room for.
    for (UniqueFd& fd : rpc::takeFds(msg))
        passed.fds.push_back(std::move(fd));
    if ((msg.msg_flags & MSG_CTRUNC) != 0)
        passed.overflowed = true;
    return n;
}

void takeFds(PassedFds& to, PassedFds& from) {
    to.overflowed = to.overflowed || from.overflowed;
    for (UniqueFd& fd : from.fds) {
        if (to.fds.size() < PassedFds::maxFds)
            to.fds.push_back(std::move(fd));
        else
            to.overflowed = true;  // closed with `from`
    }
    from.fds.clear();
}

}  // namespace quorvale::helper
