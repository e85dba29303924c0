#pragma once
// Parameters shared by every call on a path: "path", and "partition" only when one is given.
// It is never sent null or empty: an empty name counts as none.

#include <QString>

#include <optional>

#include "rpc/any_codable.h"

namespace quorvale::fileops {

rpc::Params pathParams(const QString& path, const std::optional<QString>& partition);

}  // namespace quorvale::fileops
