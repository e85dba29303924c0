#pragma once
// The audit of changes to cards: one line per change about to be sent (delete, rename, copy,
// move, new folder, symbolic link, write or replace), logged under "com.quorvale.app.Audit" and
// appended to audit.log in the state directory. Failures to write the file are ignored.

#include <QString>

#include "fileops/file_operation_service.h"

namespace quorvale::app {

QString auditLogPath();
// "DELETE", "RENAME", "COPY", "MOVE", "NEW FOLDER", "LINK", "WRITE"; "REPLACE" and
// "REPLACE WITH LINK" for a write or link over an entry that exists.
QString auditAction(fileops::Change::Kind kind, bool replacesEntry);
// Records `change` as `action`, naming `disk` (the card or image file) beside the partition.
void recordChange(const QString& action, const fileops::Change& change, const QString& disk);

}  // namespace quorvale::app
