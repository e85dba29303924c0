#pragma once
// Logging categories of the application core ("com.quorvale.app.<Category>"). The DiskDetection
// and FileOps categories are the ones their services already log under.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcAppDelegate)
Q_DECLARE_LOGGING_CATEGORY(lcAudit)
Q_DECLARE_LOGGING_CATEGORY(lcDiskDetection)

namespace quorvale::fileops {
Q_DECLARE_LOGGING_CATEGORY(lcFileOps)
}
