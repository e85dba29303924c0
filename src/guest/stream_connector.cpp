#include "guest/stream_connector.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
// clang-format off: vm_sockets.h needs sys/socket.h first
#include <linux/vm_sockets.h>
// clang-format on

#include <qcoro/qcorosignal.h>
#include <QSocketNotifier>
#include <cstring>
#include <system_error>

namespace quorvale::guest {

namespace {

[[noreturn]] void throwErrno(int error) {
    throw std::system_error(error, std::generic_category());
}

// Connects `fd` (non-blocking) to `address`, waiting for completion without blocking the thread.
QCoro::Task<UniqueFd> finishConnect(UniqueFd fd, const sockaddr* address, socklen_t length,
                                    std::chrono::milliseconds timeout) {
    if (::connect(fd.get(), address, length) < 0) {
        if (errno != EINPROGRESS && errno != EAGAIN)
            throwErrno(errno);
        QSocketNotifier writable(fd.get(), QSocketNotifier::Write);
        const auto fired = co_await qCoro(&writable, &QSocketNotifier::activated, timeout);
        if (!fired)
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

}  // namespace quorvale::guest
