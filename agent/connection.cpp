#include "agent/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <new>
#include <semaphore>
#include <thread>

#include "agent/channel_secret.h"
#include "agent/dispatcher.h"
#include "agent/log.h"
#include "rpc/json_rpc.h"
#include "rpc/line_buffer.h"

namespace quorvale::agent {

namespace {

std::atomic<std::uint64_t> lastSession{0};

// Calls running at once across all sessions; a reader waits for a free slot.
std::counting_semaphore<Connection::maxConcurrentCalls> callSlots(Connection::maxConcurrentCalls);

// Reads start small; a long line grows the buffer up to the largest size.
constexpr std::size_t smallRead = std::size_t{64} << 10;
constexpr std::size_t largestRead = std::size_t{1} << 20;
// The longest first line of a session that must authenticate: a secret fits easily.
constexpr std::size_t maxHandshakeBytes = 4096;
// How much of a dropped line is kept to find its id.
constexpr std::size_t idSearchBytes = 128;

// The reply when not even an error reply can be built: written as it is, without allocating.
constexpr std::string_view outOfMemoryFrame =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-12,"message":"Out of memory"}})"
    "\n";

// Memory for reads, allocated without being cleared.
class ReadBuffer {
public:
    char* data() { return bytes_.get(); }
    std::size_t size() const { return size_; }
    // Makes the buffer `size` bytes (keeping nothing); false when there is no memory for it.
    bool resize(std::size_t size) {
        if (size == size_)
            return true;
        try {
            bytes_ = std::make_unique_for_overwrite<char[]>(size);
            size_ = size;
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

// Whether `line` is an "authenticate" request. A proven session may see one again: a host
// that reconnects to a virtio-serial port may do so before the guest has seen it go.
bool isHandshake(std::string_view line) {
    if (line.size() > maxHandshakeBytes || line.find(authenticateMethod) == std::string_view::npos)
        return false;
    try {
        return rpc::JSONRPCRequest::decode(line).method == authenticateMethod;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::optional<std::int64_t> leadingRequestId(std::string_view start) {
    constexpr std::string_view key = R"("id":)";
    const auto at = start.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    auto digits = start.substr(at + key.size());
    while (!digits.empty() && digits.front() == ' ')
        digits.remove_prefix(1);
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (error != std::errc() || end == digits.data() || end == digits.data() + digits.size())
        return std::nullopt;  // no number, or one that may go on past what was kept
    if (*end != ',' && *end != '}' && *end != ' ')
        return std::nullopt;
    return id;
}

Connection::Connection(std::shared_ptr<Stream> stream, const Dispatcher& dispatcher,
                       SessionRules rules)
    : stream_(std::move(stream)),
      dispatcher_(dispatcher),
      session_(++lastSession),
      rules_(rules),
      authenticated_(rules.secret == nullptr) {}

std::chrono::steady_clock::time_point Connection::endableFrom() const {
    // Bytes still unread in the socket count as heard: the reader may not have run yet.
    char byte;
    const bool heard = heardFrom_ ||
                       ::recv(stream_->fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0 ||
                       heardFrom_;
    return started_ + (heard ? std::chrono::milliseconds(firstLineTime) : idleGrace);
}

bool Connection::evict() {
    if (evicted_.exchange(true))
        return false;
    ::shutdown(stream_->fd.get(), SHUT_RDWR);
    return true;
}

bool Connection::authenticate(std::string_view line) {
    std::optional<std::int64_t> id;
    std::string_view refusal = "Authentication required";
    try {
        const auto request = rpc::JSONRPCRequest::decode(line);
        id = request.id;
        if (request.method == authenticateMethod) {
            refusal = "Authentication failed";
            const auto secret = request.params.find("secret");
            const auto offered =
                secret == request.params.end() ? std::nullopt : secret->second.stringValue();
            if (offered && rules_.secret->matches(*offered)) {
                authenticated_ = true;
                send(rpc::frame(rpc::JSONRPCResponse::encodeResult(request.id, true)));
                return true;
            }
        }
    } catch (const std::exception&) {
        // Not even a request: refused like any other first line.
    }
    authenticated_ = false;
    reply(id, -EACCES, refusal);
    return false;
}

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
    bool skipping = false;  // inside a dropped line, discarding bytes up to its newline
    ReadBuffer chunk;
    const int fd = stream_->fd.get();
    auto deadline = rules_.handshakeDeadline;
    for (;;) {
        // Grow the reads while a long line comes in; go back to small ones after it.
        const std::size_t wanted =
            std::clamp(std::bit_ceil(lines.pendingBytes() + 1), smallRead, largestRead);
        if (!chunk.resize(wanted) && !chunk.resize(smallRead) && !chunk.resize(4096)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        int timeout = -1;
        if (deadline && !authenticated_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return total;  // never proved itself
            timeout = static_cast<int>(left.count());
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return total;
        }
        if (ready == 0)
            continue;
        if (!(p.revents & POLLIN))
            return total;  // hang-up or error without data
        heardFrom_ = true;
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
        while (!bytes.empty()) {
            try {
                lines.append(bytes);
                bytes = {};
                while (auto line = lines.nextLine()) {
                    if (!authenticated_ || (rules_.secret != nullptr && isHandshake(*line))) {
                        if (line->find_first_not_of(" \t\r") == std::string::npos)
                            continue;
                        if (!authenticate(*line) && rules_.endOnRefusal)
                            return total;
                        continue;
                    }
                    if (line->size() > maxLineBytes)
                        refuse(*line, rpc::JSONRPCError::invalidRequest,
                               "Invalid request: line longer than 64 MiB");
                    else
                        dispatch(std::move(*line));
                }
                if (!authenticated_ && lines.pendingBytes() > maxHandshakeBytes) {
                    reply(std::nullopt, -EACCES, "Authentication required");
                    if (rules_.endOnRefusal)
                        return total;
                    lines.clear();
                    skipping = true;
                }
                if (lines.pendingBytes() > maxLineBytes) {
                    refuse(lines.pendingPrefix(idSearchBytes), rpc::JSONRPCError::invalidRequest,
                           "Invalid request: line longer than 64 MiB");
                    lines.clear();
                    skipping = true;  // what is pending holds no newline
                }
            } catch (const std::bad_alloc&) {
                // No memory for the line coming in: answer it and drop what is buffered.
                const auto pending = lines.pendingPrefix(lines.pendingBytes());
                refuse(pending.empty() ? bytes : pending, -ENOMEM, "Out of memory");
                const bool cutOff = !pending.empty() && pending.back() != '\n';
                lines.clear();
                if (bytes.empty()) {
                    skipping = cutOff;
                } else {
                    // Not appended: these bytes go on with the dropped line up to a newline.
                    const auto newline = bytes.find('\n');
                    skipping = newline == std::string_view::npos;
                    bytes.remove_prefix(skipping ? bytes.size() : newline + 1);
                }
            }
        }
    }
}

void Connection::refuse(std::string_view start, std::int64_t code, std::string_view message) {
    reply(leadingRequestId(start.substr(0, idSearchBytes)), code, message);
}

void Connection::reply(std::optional<std::int64_t> id, std::int64_t code,
                       std::string_view message) {
    try {
        send(rpc::frame(
            rpc::JSONRPCResponse::encodeError(id, rpc::JSONRPCError(code, std::string(message)))));
    } catch (const std::bad_alloc&) {
        send(outOfMemoryFrame);
    }
}

void Connection::dispatch(std::string line) {
    callSlots.acquire();
    const auto work = [](const std::shared_ptr<Connection>& self, std::string& line) {
        try {
            auto reply = self->dispatcher_.handleLine(line, CallContext{self->session_});
            line = std::string();
            if (reply) {
                reply->push_back('\n');
                self->send(*reply);
            }
        } catch (const std::bad_alloc&) {
            // Not even the error reply fitted: its id is lost with it.
            self->send(outOfMemoryFrame);
        }
    };
    try {
        std::thread([self = shared_from_this(), line = std::move(line), work]() mutable {
            struct Release {
                ~Release() { callSlots.release(); }
            } release;
            work(self, line);
        }).detach();
    } catch (const std::exception& e) {
        // No thread to be had: answer on the reader's thread instead.
        callSlots.release();
        logLine(std::string("cannot start a worker: ") + e.what());
        work(shared_from_this(), line);
    }
}

void Connection::send(std::string_view frame) {
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
