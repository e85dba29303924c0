#include "disk/helper_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <boost/json/parse.hpp>

#include "rpc/fd_passing.h"

namespace quorvale::disk {

namespace {

// {"jsonrpc":"2.0","id":null,"error":{"code":C,"message":M}}: the error of no request.
std::optional<rpc::JSONRPCError> connectionRefusal(const std::string& line) {
    boost::system::error_code ec;
    const auto value = boost::json::parse(line, ec);
    const auto* object = ec ? nullptr : value.if_object();
    if (!object)
        return std::nullopt;
    const auto* id = object->if_contains("id");
    const auto* error = object->if_contains("error");
    if ((id && !id->is_null()) || !error || !error->is_object())
        return std::nullopt;
    const auto* code = error->as_object().if_contains("code");
    const auto* message = error->as_object().if_contains("message");
    if (!code || !code->is_int64() || !message || !message->is_string())
        return std::nullopt;
    return rpc::JSONRPCError(code->get_int64(), std::string(message->get_string()));
}

}  // namespace

std::unique_ptr<HelperConnection> HelperConnection::connectTo(const QString& socketPath) {
    const QByteArray path = socketPath.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || static_cast<std::size_t>(path.size()) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return nullptr;
    // A Unix socket connects at once or fails at once (EAGAIN: the daemon's backlog is full).
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return nullptr;
    return std::unique_ptr<HelperConnection>(new HelperConnection(std::move(fd)));
}

HelperConnection::HelperConnection(UniqueFd fd) : socket(std::move(fd)) {
    readNotifier = std::make_unique<QSocketNotifier>(socket.get(), QSocketNotifier::Read);
    writeNotifier = std::make_unique<QSocketNotifier>(socket.get(), QSocketNotifier::Write);
    writeNotifier->setEnabled(false);
    connect(readNotifier.get(), &QSocketNotifier::activated, this,
            &HelperConnection::readAvailable);
    connect(writeNotifier.get(), &QSocketNotifier::activated, this,
            &HelperConnection::writePending);
}

void HelperConnection::checkAlive() {
    if (!isOpen())
        return;
    pollfd pfd{socket.get(), POLLIN | POLLRDHUP, 0};
    if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)))
        readAvailable();
}

void HelperConnection::send(std::string line, UniqueFd fd) {
    if (!isOpen())
        return;
    const std::string framed = rpc::frame(std::move(line));
    if (fd)
        outgoingFds.push_back({queuedBytes, queuedBytes + framed.size(), std::move(fd)});
    queuedBytes += framed.size();
    outgoing += framed;
    writePending();
}

void HelperConnection::writePending() {
    while (isOpen() && !outgoing.empty()) {
        // A descriptor travels with the first bytes of its line and no bytes of another line.
        std::size_t length = outgoing.size();
        const OutgoingFd* next = outgoingFds.empty() ? nullptr : &outgoingFds.front();
        const bool attach = next && next->at == sentBytes;
        if (next)
            length = std::min<std::uint64_t>(length, (attach ? next->end : next->at) - sentBytes);
        iovec iov{outgoing.data(), length};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        rpc::OneFdControl control;
        if (attach)
            rpc::attachFd(msg, control, next->fd.get());
        const ssize_t n = ::sendmsg(socket.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            // The daemon may have turned the connection away before reading: its answer waits.
            readAvailable();
            close();
            return;
        }
        if (attach)
            outgoingFds.pop_front();  // sent: the daemon holds its own copy
        sentBytes += static_cast<std::uint64_t>(n);
        outgoing.erase(0, static_cast<std::size_t>(n));
    }
    if (isOpen())
        writeNotifier->setEnabled(!outgoing.empty());
}

void HelperConnection::readAvailable() {
    char buffer[16384];
    for (;;) {
        iovec iov{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * maxHeldDescriptors)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket.get(), &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // Take ownership of every descriptor before anything else can fail.
        if (n >= 0) {
            for (UniqueFd& owned : rpc::takeFds(msg))
                if (descriptors.size() < maxHeldDescriptors)
                    descriptors.push_back(std::move(owned));
        }
        if (n <= 0) {
            close();
            return;
        }
        lines.append(std::string_view(buffer, static_cast<std::size_t>(n)));
        while (isOpen()) {
            const auto line = lines.nextLine();
            if (!line)
                break;
            deliver(*line);
        }
        if (lines.overflowed()) {
            close();
            return;
        }
        if (!isOpen())
            return;
    }
}

void HelperConnection::deliver(const std::string& line) {
    rpc::JSONRPCResponse response;
    try {
        response = rpc::JSONRPCResponse::decode(line);
    } catch (const std::exception&) {
        if (auto refusal = connectionRefusal(line)) {
            // Turned away: nothing more will be read here, so nothing more is sent either.
            if (onRefused)
                onRefused(*refusal);
            close();
        }
        return;  // otherwise not a reply of ours: ignored
    }
    UniqueFd fd;
    std::int64_t wanted = 0;
    if (response.result) {
        if (const auto* object = response.result->objectValue()) {
            if (const auto* count = object->if_contains("fd_count"); count && count->is_int64())
                wanted = count->get_int64();
        }
    }
    for (std::int64_t i = 0; i < wanted && !descriptors.empty(); ++i) {
        if (!fd)
            fd = std::move(descriptors.front());
        descriptors.pop_front();  // extra descriptors close here
    }
    if (onReply)
        onReply(std::move(response), std::move(fd));
}

void HelperConnection::close() {
    if (!isOpen())
        return;
    readNotifier->setEnabled(false);
    writeNotifier->setEnabled(false);
    socket.reset();
    descriptors.clear();
    outgoing.clear();
    outgoingFds.clear();
    lines.clear();
    if (onClosed)
        onClosed();
}

}  // namespace quorvale::disk
