#include "guest/stream_connector.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
// clang-format off: vm_sockets.h needs sys/socket.h first
#include <linux/vm_sockets.h>
// clang-format on

#include <QSocketNotifier>
#include <QTimer>
#include <coroutine>
#include <cstring>
#include <memory>
#include <system_error>

#include "rpc/json_rpc.h"
#include "rpc/line_buffer.h"

namespace quorvale::guest {

namespace {

[[noreturn]] void throwErrno(int error) {
    throw std::system_error(error, std::generic_category());
}

// Suspends until `fd` is ready for `type` or `timeout` passes; resumes true when ready.
// QCoro's signal awaiter binds every argument by reference, and Qt emits QSocketNotifier's
// private-signal tag as a null pointer, so the notifier is watched through a slot without
// arguments. The resume is queued on the timer: it never runs inside the notifier's own
// emission, and it is dropped with the awaiter if the waiting task is destroyed.
class FdReadiness {
public:
    FdReadiness(int fd, QSocketNotifier::Type type, std::chrono::milliseconds timeout)
        : state_(std::make_unique<State>(fd, type)), timeout_(timeout) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiter) {
        State* state = state_.get();
        state->waiter = waiter;
        QObject::connect(&state->notifier, &QSocketNotifier::activated, &state->timer,
                         [state] { state->finish(true); });
        QObject::connect(&state->timer, &QTimer::timeout, &state->timer,
                         [state] { state->finish(false); });
        state->notifier.setEnabled(true);
        state->timer.start(timeout_);
    }
    bool await_resume() const noexcept { return state_->ready; }

private:
    // Held apart so the awaiter can move while the connections keep one address.
    struct State {
        State(int fd, QSocketNotifier::Type type) : notifier(fd, type) {
            notifier.setEnabled(false);
            timer.setSingleShot(true);
        }
        void finish(bool isReady) {
            if (done)
                return;
            done = true;
            ready = isReady;
            notifier.setEnabled(false);
            timer.stop();
            QTimer::singleShot(0, &timer, [resume = waiter] { resume.resume(); });
        }
        QSocketNotifier notifier;
        QTimer timer;
        std::coroutine_handle<> waiter;
        bool done = false;
        bool ready = false;
    };

    std::unique_ptr<State> state_;
    std::chrono::milliseconds timeout_;
};

// Connects `fd` (non-blocking) to `address`, waiting for completion without blocking the thread.
QCoro::Task<UniqueFd> finishConnect(UniqueFd fd, const sockaddr* address, socklen_t length,
                                    std::chrono::milliseconds timeout) {
    if (::connect(fd.get(), address, length) < 0) {
        if (errno != EINPROGRESS && errno != EAGAIN)
            throwErrno(errno);
        if (!co_await FdReadiness(fd.get(), QSocketNotifier::Write, timeout))
            throwErrno(ETIMEDOUT);
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) < 0)
            throwErrno(errno);
        if (error != 0)
            throwErrno(error);
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    co_return fd;
}

}  // namespace

QCoro::Task<UniqueFd> connectUnixStream(QString path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = path.toLocal8Bit();
    if (encoded.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        throwErrno(ENAMETOOLONG);
    std::memcpy(address.sun_path, encoded.constData(), encoded.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        throwErrno(errno);
    co_return co_await finishConnect(std::move(fd), reinterpret_cast<const sockaddr*>(&address),
                                     sizeof address, std::chrono::seconds(5));
}

QCoro::Task<UniqueFd> connectVsockStream(uint32_t cid, uint32_t port,
                                         std::chrono::milliseconds timeout) {
    sockaddr_vm address{};
    address.svm_family = AF_VSOCK;
    address.svm_cid = cid;
    address.svm_port = port;
    UniqueFd fd(::socket(AF_VSOCK, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        throwErrno(errno);
    co_return co_await finishConnect(std::move(fd), reinterpret_cast<const sockaddr*>(&address),
                                     sizeof address, timeout);
}

QCoro::Task<std::optional<std::string>> proveChannelSecret(int fd, QByteArray secret,
                                                           std::chrono::milliseconds timeout) {
    rpc::Params params;
    params.emplace("secret", rpc::AnyCodable(secret.toStdString()));
    const std::string frame = rpc::frame(rpc::JSONRPCRequest(0, "authenticate", params).encode());
    for (std::size_t sent = 0; sent < frame.size();) {
        const auto n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            co_return "cannot send the channel secret: " + std::string(std::strerror(errno));
        sent += static_cast<std::size_t>(n);
    }

    // The answer line, and not a byte more: what follows belongs to the transport.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    for (;;) {
        char peek[512];
        const auto n = ::recv(fd, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0)
            co_return std::string("the guest agent closed the connection: it refused the secret");
        if (n > 0) {
            const auto* newline = static_cast<const char*>(std::memchr(peek, '\n', n));
            const auto take = newline ? newline - peek + 1 : n;
            line.append(peek, static_cast<std::size_t>(take));
            [[maybe_unused]] const auto consumed = ::recv(fd, peek, take, MSG_DONTWAIT);
            if (newline)
                break;
            if (line.size() > 4096)
                co_return std::string("the guest agent's answer to the secret is too long");
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            co_return "no answer to the channel secret: " + std::string(std::strerror(errno));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            co_return std::string("the guest agent did not answer the channel secret");
        co_await FdReadiness(fd, QSocketNotifier::Read, left);
    }
    line.pop_back();
    try {
        const auto response = rpc::JSONRPCResponse::decode(line);
        if (response.id == 0 && !response.error && response.result &&
            response.result->boolValue() == true)
            co_return std::nullopt;
        if (response.error)
            co_return "the guest agent refused the channel secret: " + response.error->message;
    } catch (const std::exception&) {
    }
    co_return std::string("the guest agent gave no valid answer to the channel secret");
}

}  // namespace quorvale::guest
