#pragma once
// Decoding the guest's search answers (see FileOperationService::search). Pure functions.

#include <QList>
#include <QString>

#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>

#include "model/file_item.h"

namespace quorvale::fileops {

struct SearchBatch {
    std::int64_t id = 0;
    QList<model::FileItem> items;
    bool done = false;
    bool truncated = false;
};

// One answer of "search" or "search_next"; nothing for another shape. Entries whose "path" is
// not below `folder`, is not made of plain names ending in their "name", or whose name does not
// contain `query` (case-insensitive) are dropped.
std::optional<SearchBatch> decodeSearchBatch(const boost::json::value* result,
                                             const QString& folder, const QString& query);

}  // namespace quorvale::fileops
