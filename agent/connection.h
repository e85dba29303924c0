#pragma once
// Connection: one host session on a byte stream (socket or virtio-serial port). It reads
// request lines and runs each on its own worker thread, so calls overlap and each reply goes
// out as soon as its call finishes; a per-stream lock keeps reply lines whole. A line over the
// size limit, or one there is no memory for, is answered with an error (under its id when the
// start of the line shows it) and skipped; the session stays usable. The read buffer grows
// with the lines and shrinks again once they have passed.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "rpc/unique_fd.h"

namespace quorvale::agent {

class ChannelSecret;
class Dispatcher;

// What a session must do before it is served.
struct SessionRules {
    // When set, the first line must be "authenticate" with this secret (see ChannelSecret).
    const ChannelSecret* secret = nullptr;
    // A refused socket session ends; a virtio-serial port cannot be closed from the guest, so
    // there the session stays refused: every line but a good "authenticate" gets an error.
    bool endOnRefusal = true;
    // A socket session that has not authenticated by then ends.
    std::optional<std::chrono::steady_clock::time_point> handshakeDeadline;
};

// A stream shared by the sessions that use it in turn (a virtio-serial port outlives them).
struct Stream {
    explicit Stream(UniqueFd fd) : fd(std::move(fd)) {}
    UniqueFd fd;
    std::mutex writeMutex;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    static constexpr std::size_t maxLineBytes = std::size_t{64} << 20;
    static constexpr int maxConcurrentCalls = 16;

    Connection(std::shared_ptr<Stream> stream, const Dispatcher& dispatcher,
               SessionRules rules = {});

    // Reads and dispatches lines until end of stream, then ends the session; returns the number
    // of bytes read.
    std::size_t serve();
    // Drops the replies still to come (the peer is gone and a new session may follow).
    void abandon() { abandoned_ = true; }
    // Writes one reply frame (a line with its newline) whole.
    void send(std::string_view frame);
    bool authenticated() const { return authenticated_; }
    // When an unproven session may be ended to make room for others: once it has been silent
    // for `idleGrace`, or has been sending a first line for `firstLineTime` without proving the
    // secret. A host sends its first line at once, whole.
    static constexpr auto idleGrace = std::chrono::milliseconds(100);
    static constexpr auto firstLineTime = std::chrono::seconds(1);
    std::chrono::steady_clock::time_point endableFrom() const;
    // Ends the session from another thread: its reads end as if the peer had gone. False when
    // it was evicted already.
    bool evict();
    bool evicted() const { return evicted_; }

private:
    void dispatch(std::string line);
    // Answers the first line of a session that needs the secret, or a later "authenticate";
    // true when it proved the secret. A failure leaves the session unproven.
    bool authenticate(std::string_view line);
    // Answers a line that is dropped unread; `start` holds its first bytes.
    void refuse(std::string_view start, std::int64_t code, std::string_view message);
    void reply(std::optional<std::int64_t> id, std::int64_t code, std::string_view message);
    bool writeAll(std::string_view bytes);

    std::shared_ptr<Stream> stream_;
    const Dispatcher& dispatcher_;
    const std::uint64_t session_;
    const SessionRules rules_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> authenticated_;
    std::atomic<bool> heardFrom_{false};  // bytes have arrived (set before they are read)
    std::atomic<bool> abandoned_{false};
    std::atomic<bool> evicted_{false};
};

// The integer "id" near the start of a request line ({"jsonrpc":"2.0","id":7,...}), when the
// line is too long or too large to parse whole.
std::optional<std::int64_t> leadingRequestId(std::string_view start);

}  // namespace quorvale::agent
