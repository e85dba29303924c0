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

QCoro::Task<CheckStatus> PartitionControl::checkStatus(const QString& partition,
                                                       std::chrono::milliseconds wait) {
    rpc::Params params = partitionParams(partition);
    if (wait.count() > 0)
        params["wait_ms"] = static_cast<std::int64_t>(wait.count());
    const auto result =
        co_await transport.send("check_status", std::move(params), callTimeout + wait);
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
    bool cancelSent = false, first = true;
    for (;;) {
        if (stop.stop_requested() && !cancelSent) {
            auto cancelling = cancelCheck(partition);
            co_await std::move(cancelling);
            cancelSent = true;
        }
        // The first status comes at once; after it the guest holds each call until the check
        // ends or `interval` passes, so the verdict (or the end of a skipped check) arrives when
        // it is reached. A held call answered sooner while running is paced here.
        const auto asked = std::chrono::steady_clock::now();
        const bool wait = !first;
        first = false;
        auto polling = checkStatus(partition, wait ? interval : std::chrono::milliseconds{});
        CheckStatus status = co_await std::move(polling);
        if (progress)
            progress(status);
        if (status.state != CheckStatus::State::running)
            co_return status;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - asked);
        if (wait && elapsed < interval)
            co_await QCoro::sleepFor(interval - elapsed);
    }
}

}  // namespace quorvale::fileops
