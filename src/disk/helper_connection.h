#pragma once
// One stream to the helper daemon, used on the GUI thread without blocking it: a non-blocking
// Unix socket watched by QSocketNotifiers. Requests go out as lines, a request's descriptor
// with the first bytes of its own line and nothing else; replies come back as lines, with
// descriptors passed beside them (SCM_RIGHTS). A reply whose result announces
// "fd_count" takes that many descriptors, in arrival order, from those received so far; the
// first is handed on, any others are closed. An error line without an id is the daemon turning
// the whole connection away (not authorised, too many connections): `onRefused` gets its
// message and the connection closes. When the stream ends or fails, `onClosed` runs
// once and the connection stays closed; replies already received are delivered first.

#include <QObject>
#include <QSocketNotifier>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "rpc/json_rpc.h"
#include "rpc/line_buffer.h"
#include "rpc/unique_fd.h"

namespace quorvale::disk {

class HelperConnection : public QObject {
    Q_OBJECT
public:
    // Connects at once; nothing (and errno set) when the daemon's socket cannot be reached.
    static std::unique_ptr<HelperConnection> connectTo(const QString& socketPath);

    std::function<void(rpc::JSONRPCResponse, UniqueFd)> onReply;
    std::function<void(const rpc::JSONRPCError&)> onRefused;
    std::function<void()> onClosed;

    bool isOpen() const { return socket.valid(); }
    // Takes in what the socket holds when the peer has hung up (replies, then the end of the
    // stream), so a connection to a daemon that has gone is noticed before it is reused.
    void checkAlive();
    // Queues one request line, and the descriptor to pass with it when valid; written as the
    // socket accepts it.
    void send(std::string line, UniqueFd fd = {});
    void close();

    static constexpr std::size_t maxReplyBytes = 1 << 20;
    static constexpr std::size_t maxHeldDescriptors = 16;

private:
    explicit HelperConnection(UniqueFd socket);
    void readAvailable();
    void writePending();
    void deliver(const std::string& line);

    UniqueFd socket;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
    rpc::LineBuffer lines{maxReplyBytes};
    // A descriptor to pass with the line at [at, end) of the outgoing stream.
    struct OutgoingFd {
        std::uint64_t at = 0;
        std::uint64_t end = 0;
        UniqueFd fd;
    };
    std::string outgoing;
    std::uint64_t sentBytes = 0;    // of the outgoing stream, ever
    std::uint64_t queuedBytes = 0;  // likewise
    std::deque<OutgoingFd> outgoingFds;
    std::deque<UniqueFd> descriptors;
};

}  // namespace quorvale::disk
