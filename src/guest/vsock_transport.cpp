#include "guest/vsock_transport.h"

#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaObject>
#include <QtCore/QTimer>

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "guest/stream_connection.h"

namespace quorvale::guest {

Q_LOGGING_CATEGORY(lcVsock, "com.quorvale.app.Vsock", QtInfoMsg)

// One waiting call, living in the frame of its send() coroutine. The transport removes it from
// `pendingRequests` before finishing it, so whichever of response, timeout, write failure,
// disconnection or end of stream comes first resumes it, exactly once.
class VsockTransport::Call {
public:
    Call(VsockTransport& transport, std::int64_t id) : transport(&transport), id(id) {}
    ~Call() {
        if (transport)
            transport->pendingRequests.erase(id);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    void startTimer(std::chrono::milliseconds timeout) {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (transport)
                transport->timedOut(id);
        });
        // QTimer counts in int milliseconds: about 24 days at most.
        const std::chrono::milliseconds longest(std::numeric_limits<int>::max());
        timer.start(std::clamp(timeout, std::chrono::milliseconds(0), longest));
    }
    void finish(rpc::JSONRPCResponse reply) {
        detach();
        response = std::move(reply);
        resume();
    }
    void fail(VsockError::Kind kind) {
        detach();
        error = std::make_exception_ptr(VsockError(kind));
        resume();
    }
    void detach() {
        transport = nullptr;
        timer.stop();
    }

    // co_await call.outcome(): the response, or the error that ended the call.
    struct Outcome {
        Call* call;
        bool await_ready() const noexcept { return call->done; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { call->waiter = handle; }
        rpc::JSONRPCResponse await_resume() const {
            if (call->error)
                std::rethrow_exception(call->error);
            return std::move(*call->response);
        }
    };
    Outcome outcome() { return Outcome{this}; }

private:
    void resume() {
        done = true;
        if (auto handle = std::exchange(waiter, {}))
            handle.resume();
    }

    VsockTransport* transport;
    std::int64_t id;
    QTimer timer;
    std::coroutine_handle<> waiter;
    bool done = false;
    std::optional<rpc::JSONRPCResponse> response;
    std::exception_ptr error;
};

VsockTransport::VsockTransport(std::size_t maxReplyBytes)
    : maxReplyBytes(maxReplyBytes), context(std::make_unique<QObject>()) {}

VsockTransport::~VsockTransport() {
    retireStream();
    retiredStreams.clear();  // woken threads end promptly; joined before `context` goes
    failAll(takePendingRequests(), VsockError::Kind::disconnected);
}

void VsockTransport::connect(UniqueFd stream) {
    std::vector<Call*> orphaned;
    if (fileHandle) {
        // The old stream is no longer read, so nothing can answer its calls.
        retireStream();
        orphaned = takePendingRequests();
    }
    reapStreams();

    const auto serial = ++streamSerial;
    QObject* receiver = context.get();
    auto post = [receiver](auto function) {
        QMetaObject::invokeMethod(receiver, std::move(function), Qt::QueuedConnection);
    };
    StreamConnection::Callbacks callbacks;
    callbacks.response = [this, post, serial](rpc::JSONRPCResponse response) {
        // Shared so that a large result is never copied on its way to the GUI thread.
        auto shared = std::make_shared<rpc::JSONRPCResponse>(std::move(response));
        post([this, serial, shared] { receive(serial, std::move(*shared)); });
    };
    callbacks.undecodable = [this, post, serial](const std::string& reason,
                                                 rpc::JSONRPCResponse::Salvage salvage) {
        qCCritical(lcVsock, "Failed to decode RPC response: %s", reason.c_str());
        post([this, serial, salvage] { undecodable(serial, salvage); });
    };
    callbacks.ended = [this, post, serial](StreamConnection::EndReason reason) {
        const bool lineTooLong = reason == StreamConnection::EndReason::lineTooLong;
        post([this, serial, lineTooLong] { streamEnded(serial, lineTooLong); });
    };
    callbacks.writeFailed = [this, post, serial](std::int64_t id) {
        post([this, serial, id] { writeFailed(serial, id); });
    };
    callbacks.finished = [this, post] { post([this] { reapStreams(); }); };
    fileHandle =
        std::make_unique<StreamConnection>(std::move(stream), maxReplyBytes, std::move(callbacks));
    qCInfo(lcVsock, "Vsock transport connected");
    failAll(orphaned, VsockError::Kind::disconnected);
}

void VsockTransport::disconnect() {
    retireStream();
    reapStreams();
    auto calls = takePendingRequests();
    qCInfo(lcVsock, "Vsock transport disconnected");
    failAll(calls, VsockError::Kind::disconnected);
}

QCoro::Task<std::optional<rpc::AnyCodable>> VsockTransport::send(
    std::string method, rpc::Params params, std::chrono::milliseconds timeout) {
    if (!fileHandle)
        throw VsockError(VsockError::Kind::notConnected);
    const std::int64_t id = ++requestID;
    std::string frame = rpc::frame(rpc::JSONRPCRequest(id, method, std::move(params)).encode());
    qCDebug(lcVsock, "Sending RPC: %s (id: %ld)", method.c_str(), static_cast<long>(id));

    Call call(*this, id);
    pendingRequests.emplace(id, &call);
    if (!fileHandle->write(id, std::move(frame))) {
        pendingRequests.erase(id);
        call.detach();
        throw VsockError(VsockError::Kind::disconnected);
    }
    call.startTimer(timeout);

    // From here on the transport may be gone when we resume: only `call` is touched.
    rpc::JSONRPCResponse response = co_await call.outcome();
    if (response.error)
        throw std::move(*response.error);
    co_return std::move(response.result);
}

void VsockTransport::receive(std::uint64_t serial, rpc::JSONRPCResponse response) {
    if (serial != streamSerial || !fileHandle)
        return;  // read before its stream was disconnected; its calls have failed already
    const auto it = pendingRequests.find(response.id);
    if (it == pendingRequests.end()) {
        qCCritical(lcVsock, "Received response for unknown request id: %ld",
                   static_cast<long>(response.id));
        return;
    }
    Call* call = it->second;
    pendingRequests.erase(it);
    call->finish(std::move(response));
}

void VsockTransport::streamEnded(std::uint64_t serial, bool lineTooLong) {
    if (serial != streamSerial || !fileHandle)
        return;
    if (lineTooLong) {
        qCCritical(lcVsock, "RPC response longer than %zu bytes, closing the connection",
                   maxReplyBytes);
    }
    retireStream();
    failAll(takePendingRequests(), VsockError::Kind::disconnected);
}

void VsockTransport::undecodable(std::uint64_t serial, rpc::JSONRPCResponse::Salvage salvage) {
    if (serial != streamSerial || !fileHandle)
        return;
    if (salvage.id) {
        const auto it = pendingRequests.find(*salvage.id);
        if (it == pendingRequests.end())
            return;
        Call* call = it->second;
        pendingRequests.erase(it);
        call->fail(VsockError::Kind::invalidResponse);
        return;
    }
    if (salvage.isJSON)
        return;  // a reply to nothing we can tell (an id of null): its call times out
    qCCritical(lcVsock, "RPC stream is not JSON, closing the connection");
    retireStream();
    failAll(takePendingRequests(), VsockError::Kind::invalidResponse);
}

void VsockTransport::writeFailed(std::uint64_t serial, std::int64_t id) {
    if (serial != streamSerial)
        return;
    const auto it = pendingRequests.find(id);
    if (it == pendingRequests.end())
        return;
    Call* call = it->second;
    pendingRequests.erase(it);
    call->fail(VsockError::Kind::disconnected);
}

void VsockTransport::timedOut(std::int64_t id) {
    const auto it = pendingRequests.find(id);
    if (it == pendingRequests.end())
        return;
    Call* call = it->second;
    pendingRequests.erase(it);
    call->fail(VsockError::Kind::timeout);
}

void VsockTransport::retireStream() {
    if (!fileHandle)
        return;
    ++streamSerial;
    fileHandle->stop();
    retiredStreams.push_back(std::move(fileHandle));
}

void VsockTransport::reapStreams() {
    std::erase_if(retiredStreams, [](const auto& stream) { return stream->finished(); });
}

std::vector<VsockTransport::Call*> VsockTransport::takePendingRequests() {
    std::vector<Call*> calls;
    calls.reserve(pendingRequests.size());
    for (const auto& [id, call] : pendingRequests)
        calls.push_back(call);
    pendingRequests.clear();
    for (auto* call : calls)
        call->detach();
    return calls;
}

void VsockTransport::failAll(const std::vector<Call*>& calls, VsockError::Kind kind) {
    // Resuming runs the callers' code, which may reconnect or even destroy the transport:
    // the calls were taken out beforehand and nothing of the transport is touched here.
    for (auto* call : calls)
        call->fail(kind);
}

}  // namespace quorvale::guest
