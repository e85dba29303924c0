#pragma once
// Copies made inside the guest, from one place of a card to another or from card to card: the
// bytes never leave the VM. One call copies a whole tree, so its wait grows with the bytes it
// holds (at the rate of the slowest card, 1 MB/s) on top of the usual call timeout.

#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>

#include "fileops/file_operation_service.h"
#include "model/file_item.h"

namespace quorvale::fileops {

// Bytes under `item` on `partition` (its own size for anything but a folder).
QCoro::Task<std::uint64_t> entryBytes(FileOperationService& service, model::FileItem item,
                                      QString partition);

// The wait for copying `bytes` in one call.
std::chrono::milliseconds copyTimeout(std::uint64_t bytes);

// Copies `item` (of `fromPartition`) to the path `to` of `toPartition`; an existing entry at
// `to` is never replaced.
QCoro::Task<void> copyInGuest(FileOperationService& service, model::FileItem item,
                              QString fromPartition, QString to, QString toPartition);

}  // namespace quorvale::fileops
