#pragma once
// The "FileOps" logging category of the file operation service.

#include <QLoggingCategory>

namespace quorvale::fileops {
Q_DECLARE_LOGGING_CATEGORY(lcFileOps)
}
