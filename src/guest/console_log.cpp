#include "guest/console_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <cerrno>

namespace quorvale::guest {

std::optional<QString> createConsoleLog(const QString& directory) {
    const QString path = QDir(directory).filePath(QLatin1String(consoleLogName));
    const QByteArray name = QFile::encodeName(path);
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        return std::nullopt;
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::nullopt;
    ::close(fd);
    return path;
}

}  // namespace quorvale::guest
