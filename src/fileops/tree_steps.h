#pragma once
// What tree export and upload share: an entry's state, paths, progress and per-file options.

#include <QString>

#include <cstdint>

#include "fileops/tree_transfer.h"

namespace quorvale::fileops::tree {

enum class State { pending, made, merged, skipped };

// Throws FileOperationError for errno `error` on `path`.
[[noreturn]] void fail(int error, const QString& path);
// `name` inside `folder`, either of which may be empty.
QString joined(const QString& folder, const QString& name);
void report(const TreeOptions& options, const TreeProgress& progress);
// One file's transfer options inside a tree whose earlier files made `doneBefore` bytes.
TransferOptions fileOptions(const TreeOptions& options, std::uint64_t doneBefore,
                            TreeProgress* progress);

}  // namespace quorvale::fileops::tree
