#pragma once
// What the commands of quorvale-cli share: printing a line, sizes for people, JSON on stdout,
// and finding an entry by its path.

#include <QJsonValue>
#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <optional>

#include "cli_commands.h"
#include "model/file_item.h"

namespace quorvale::app::cli {

// One line on stdout.
void print(const QString& line);
// "1.5 MB".
QString bytesText(std::uint64_t bytes);
// `value` as compact JSON, one line on stdout.
void printJson(const QJsonValue& value);
// `directory` + "/" + `name`, with one slash.
QString joined(const QString& directory, const QString& name);

// The entry at the remote path, found in its parent's listing; nothing when there is none.
QCoro::Task<std::optional<model::FileItem>> lookUp(Session& session, Remote remote);

// "file", "directory" or "symlink".
QString entryType(const model::FileItem& item);
// The entry as one JSON object: name, path, type, size, mode (the permission bits), permissions
// ("-rw-r--r--"), owner, group, modified (UTC, ISO 8601) and, for a link, target.
QJsonObject entryJson(const model::FileItem& item);

}  // namespace quorvale::app::cli
