#include "fileops/partition_control.h"

#include <qcoro/qcorotimer.h>

#include <algorithm>

#include <boost/json/value.hpp>

#include "fileops/file_operation_error.h"
#include "guest/vsock_transport.h"
#include "rpc/base64.h"

namespace quorvale::fileops {

namespace {

rpc::Params partitionParams(const QString& partition) {
    return {{"partition", rpc::AnyCodable(partition.toStdString())}};
}

}  // namespace

std::optional<CheckStatus> decodeCheckStatus(const boost::json::value& result) {
    const auto* o = result.if_object();
    if (!o)
        return std::nullopt;
    const auto* state = o->if_contains("state");
    if (!state || !state->is_string())
        return std::nullopt;
    CheckStatus status;
    if (*state == "running")
        status.state = CheckStatus::State::running;
    else if (*state == "finished")
        status.state = CheckStatus::State::finished;
    else if (*state == "cancelled")
        status.state = CheckStatus::State::cancelled;
    else
        return std::nullopt;
    const auto number = [&](const char* key) -> std::optional<std::int64_t> {
        const auto* v = o->if_contains(key);
        return v && v->is_int64() ? std::optional(v->get_int64()) : std::nullopt;
    };
    status.pass = static_cast<int>(std::clamp<std::int64_t>(number("pass").value_or(0), 0, 5));
    status.percent =
        static_cast<int>(std::clamp<std::int64_t>(number("percent").value_or(0), 0, 100));
    if (const auto code = number("exit_code"))
        status.exitCode = static_cast<int>(std::clamp<std::int64_t>(*code, -1, 255));
    if (status.state != CheckStatus::State::running && !status.exitCode)
        return std::nullopt;
    if (const auto* output = o->if_contains("output"); output && output->is_string())
        status.output = QString::fromUtf8(output->get_string().data(),
                                          static_cast<qsizetype>(output->get_string().size()));
    if (const auto* sb = o->if_contains("superblock_b64"); sb && sb->is_string()) {
        const auto bytes =
            rpc::base64Decode(std::string_view(sb->get_string().data(), sb->get_string().size()));
        if (!bytes)
            return std::nullopt;
        status.superblock = QByteArray(bytes->data(), static_cast<qsizetype>(bytes->size()));
    }
    return status;
}

QCoro::Task<bool> PartitionControl::mount(const QString& partition, bool readOnly,
                                          bool replayJournal) {
    rpc::Params params = partitionParams(partition);
    params["read_only"] = readOnly;
    params["replay_journal"] = replayJournal;
    const auto result = co_await transport.send("mount_partition", std::move(params), callTimeout);
    const boost::json::object* o = result ? result->objectValue() : nullptr;
    const auto* flag = o ? o->if_contains("read_only") : nullptr;
    if (!flag || !flag->is_bool())
        throw FileOperationError::invalidData();
    co_return flag->get_bool();
}

QCoro::Task<void> PartitionControl::startCheck(const QString& partition) {
    co_await transport.send("check_filesystem", partitionParams(partition), callTimeout);
}

QCoro::Task<CheckStatus> PartitionControl::checkStatus(const QString& partition) {
    const auto result =
        co_await transport.send("check_status", partitionParams(partition), callTimeout);
    const auto status = result ? decodeCheckStatus(result->json()) : std::nullopt;
    if (!status)
        throw FileOperationError::invalidData();
    co_return *status;
}

QCoro::Task<void> PartitionControl::cancelCheck(const QString& partition) {
    co_await transport.send("check_cancel", partitionParams(partition), callTimeout);
}

QCoro::Task<CheckStatus> PartitionControl::runCheck(
    const QString& partition, const std::function<void(const CheckStatus&)>& progress,
    std::stop_token stop, std::chrono::milliseconds interval) {
    // Named tasks: g++ 12 destroys by-value arguments of a co_await expression twice when the
    // awaited coroutine throws.
    auto starting = startCheck(partition);
    co_await std::move(starting);
    bool cancelSent = false;
    for (;;) {
        if (stop.stop_requested() && !cancelSent) {
            auto cancelling = cancelCheck(partition);
            co_await std::move(cancelling);
            cancelSent = true;
        }
        auto polling = checkStatus(partition);
        CheckStatus status = co_await std::move(polling);
        if (progress)
            progress(status);
        if (status.state != CheckStatus::State::running)
            co_return status;
        co_await QCoro::sleepFor(interval);
    }
}

}  // namespace quorvale::fileops
