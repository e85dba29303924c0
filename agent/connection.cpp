#include "agent/connection.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <semaphore>
#include <thread>

#include "agent/dispatcher.h"
#include "agent/log.h"
#include "rpc/json_rpc.h"
#include "rpc/line_buffer.h"

namespace quorvale::agent {

namespace {

std::atomic<std::uint64_t> lastSession{0};

// Calls running at once across all sessions; a reader waits for a free slot.
std::counting_semaphore<Connection::maxConcurrentCalls> callSlots(Connection::maxConcurrentCalls);

std::string tooLongReply() {
    return rpc::frame(rpc::JSONRPCResponse::encodeError(
        std::nullopt, rpc::JSONRPCError(rpc::JSONRPCError::invalidRequest,
                                        "Invalid request: line longer than 64 MiB")));
}

}  // namespace

Connection::Connection(std::shared_ptr<Stream> stream, const Dispatcher& dispatcher)
    : stream_(std::move(stream)), dispatcher_(dispatcher), session_(++lastSession) {}

std::size_t Connection::serve() {
    struct EndSession {
        const Dispatcher& dispatcher;
        std::uint64_t session;
        ~EndSession() { dispatcher.endSession(session); }
    } endSession{dispatcher_, session_};
    // The buffer's own limit lies far above ours: over-long lines are caught here, so that
    // only they are dropped and the lines around them are served.
    rpc::LineBuffer lines;
    std::size_t total = 0;
    bool skipping = false;  // inside an over-long line, dropping bytes up to its newline
    std::string chunk(std::size_t{1} << 20, '\0');
    const int fd = stream_->fd.get();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return total;
        }
        if (!(p.revents & POLLIN))
            return total;  // hang-up or error without data
        const auto n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return total;
        total += static_cast<std::size_t>(n);
        std::string_view bytes(chunk.data(), static_cast<std::size_t>(n));
        if (skipping) {
            const auto newline = bytes.find('\n');
            if (newline == std::string_view::npos)
                continue;
            bytes.remove_prefix(newline + 1);
            skipping = false;
        }
        lines.append(bytes);
        while (auto line = lines.nextLine()) {
            if (line->size() > maxLineBytes)
                send(tooLongReply());
            else
                dispatch(std::move(*line));
        }
        if (lines.pendingBytes() > maxLineBytes) {
            lines.clear();
            skipping = true;
            send(tooLongReply());
        }
    }
}

void Connection::dispatch(std::string line) {
    callSlots.acquire();
    try {
        std::thread([self = shared_from_this(), line = std::move(line)]() mutable {
            struct Release {
                ~Release() { callSlots.release(); }
            } release;
            auto reply = self->dispatcher_.handleLine(line, CallContext{self->session_});
            line = std::string();
            if (reply)
                self->send(rpc::frame(std::move(*reply)));
        }).detach();
    } catch (const std::system_error& e) {
        // No thread to be had: answer on the reader's thread instead.
        callSlots.release();
        logLine(std::string("cannot start a worker: ") + e.what());
        if (auto reply = dispatcher_.handleLine(line, CallContext{session_}))
            send(rpc::frame(std::move(*reply)));
    }
}

void Connection::send(std::string frame) {
    std::lock_guard lock(stream_->writeMutex);
    if (!abandoned_ && !writeAll(frame))
        abandoned_ = true;
}

bool Connection::writeAll(std::string_view bytes) {
    const int fd = stream_->fd.get();
    while (!bytes.empty()) {
        const auto n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // A port without a host blocks writes; give up once the session is abandoned.
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            if (abandoned_)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace quorvale::agent
