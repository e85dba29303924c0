#pragma once
// The deletion audit: one line per path about to be deleted, logged under
// "com.quorvale.app.Audit" and appended to audit.log in the state directory. Failures to write
// the file are ignored.

#include <QString>
#include <QStringList>

#include <optional>

namespace quorvale::app {

QString auditLogPath();
void recordDeletions(const QStringList& paths, const std::optional<QString>& partition);

}  // namespace quorvale::app
