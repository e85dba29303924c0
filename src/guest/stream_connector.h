#pragma once
// Non-blocking stream connects awaited on the GUI thread; the returned fd is blocking and
// close-on-exec. Failures throw std::system_error with the errno of the connect.

#include <qcoro/qcorotask.h>
#include <QString>
#include <chrono>
#include <cstdint>

#include "rpc/unique_fd.h"

namespace quorvale::guest {

QCoro::Task<UniqueFd> connectUnixStream(QString path);
QCoro::Task<UniqueFd> connectVsockStream(
    uint32_t cid, uint32_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace quorvale::guest
