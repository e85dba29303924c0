#pragma once
// Non-blocking stream connects awaited on the GUI thread; the returned fd is blocking and
// close-on-exec. Failures throw std::system_error with the errno of the connect.

#include <qcoro/qcorotask.h>
#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "rpc/unique_fd.h"

namespace quorvale::guest {

QCoro::Task<UniqueFd> connectUnixStream(QString path);
QCoro::Task<UniqueFd> connectVsockStream(
    uint32_t cid, uint32_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Shows the guest agent the channel secret on the fresh connection `fd`, as its first line:
// {"jsonrpc":"2.0","id":0,"method":"authenticate","params":{"secret":...}}. The answer must be
// {"result":true} under id 0, and nothing else may have been sent: then the stream is the
// transport's, its ids untouched. Returns why it failed, or nothing on success.
QCoro::Task<std::optional<std::string>> proveChannelSecret(
    int fd, QByteArray secret, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace quorvale::guest
