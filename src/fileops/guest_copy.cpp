#include "fileops/guest_copy.h"

namespace quorvale::fileops {

QCoro::Task<std::uint64_t> entryBytes(FileOperationService& service, model::FileItem item,
                                      QString partition) {
    if (!item.isDirectory || item.isSymlink)
        co_return item.size;
    std::uint64_t total = 0;
    for (const auto& entry : co_await service.dirUsage(item.path, partition)) {
        const auto size = entry.find("size");
        const auto value = size == entry.end() ? std::nullopt : size->second.intValue();
        total += value && *value > 0 ? static_cast<std::uint64_t>(*value) : 0;
    }
    co_return total;
}

std::chrono::milliseconds copyTimeout(std::uint64_t bytes) {
    return FileOperationService::callTimeout + std::chrono::milliseconds(bytes / 1000);
}

QCoro::Task<void> copyInGuest(FileOperationService& service, model::FileItem item,
                              QString fromPartition, QString to, QString toPartition) {
    const std::uint64_t bytes = co_await entryBytes(service, item, fromPartition);
    co_await service.copyBetween(item.path, fromPartition, to, toPartition, copyTimeout(bytes));
}

}  // namespace quorvale::fileops
