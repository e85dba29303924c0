#pragma once
// VsockTransport: the host's JSON-RPC client for the guest agent over one connected stream.
// Writes one request per line, matches responses to waiting callers by id, enforces a timeout
// per call and fails every waiting call when the stream ends or is disconnected. Ids run 1, 2,
// 3, ... for the life of the object, across reconnections. Created and used on the GUI thread:
// reading, decoding replies and writing large frames happen on the connection's own threads.
// A reply line longer than `maxReplyBytes` ends the connection as a disconnection. A reply that
// does not decode fails its call at once with "Invalid RPC response"; when it is not JSON at
// all, nothing on the stream can be trusted and every waiting call fails so, ending the
// connection.

#include <QtCore/QObject>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "guest/vsock_error.h"
#include "rpc/any_codable.h"
#include "rpc/json_rpc.h"
#include "rpc/line_buffer.h"
#include "rpc/unique_fd.h"

namespace quorvale::guest {

class StreamConnection;

class VsockTransport {
public:
    explicit VsockTransport(std::size_t maxReplyBytes = rpc::LineBuffer::defaultMaxLineBytes);
    ~VsockTransport();
    VsockTransport(const VsockTransport&) = delete;
    VsockTransport& operator=(const VsockTransport&) = delete;

    // Takes over a connected stream and starts reading it. A stream already connected is shut
    // down first and the calls waiting on it fail with "Vsock disconnected".
    void connect(UniqueFd stream);
    // Stops reading, closes the stream and fails every waiting call with "Vsock disconnected".
    // Safe when not connected.
    void disconnect();
    bool isConnected() const { return fileHandle != nullptr; }

    // Sends one call and waits for its response: the "result" (nothing when absent), or throws
    // VsockError, the CodingError of an unsupported parameter, or the reply's JSONRPCError.
    // A write that fails fails the call at once with "Vsock disconnected".
    QCoro::Task<std::optional<rpc::AnyCodable>> send(
        std::string method, rpc::Params params = {},
        std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    class Call;

    void receive(std::uint64_t serial, rpc::JSONRPCResponse response);
    void streamEnded(std::uint64_t serial, bool lineTooLong);
    // A line that is no response: fails its call, or the connection when it is not even JSON.
    void undecodable(std::uint64_t serial, rpc::JSONRPCResponse::Salvage salvage);
    void writeFailed(std::uint64_t serial, std::int64_t id);
    void timedOut(std::int64_t id);
    // Shuts the current stream down and parks it until its threads have ended.
    void retireStream();
    void reapStreams();
    std::vector<Call*> takePendingRequests();
    static void failAll(const std::vector<Call*>& calls, VsockError::Kind kind);

    std::size_t maxReplyBytes;
    std::unique_ptr<QObject> context;  // receives the connection threads' reports
    std::unique_ptr<StreamConnection> fileHandle;
    std::uint64_t streamSerial = 0;  // tells reports of the current stream from stale ones
    std::vector<std::unique_ptr<StreamConnection>> retiredStreams;
    std::int64_t requestID = 0;
    std::map<std::int64_t, Call*> pendingRequests;  // in id order
};

}  // namespace quorvale::guest
