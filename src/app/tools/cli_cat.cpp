// cat: a file's bytes on stdout. The file is read whole into an unnamed temporary file first,
// so a failure midway writes nothing to stdout.

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include "cli_support.h"
#include "fileops/file_operation_service.h"
#include "rpc/unique_fd.h"

namespace quorvale::app::cli {
namespace {

void copyToStdout(int fd) {
    if (::lseek(fd, 0, SEEK_SET) != 0)
        throw CliError(std::string("temporary file: ") + std::strerror(errno));
    std::fflush(stdout);
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw CliError(std::string("temporary file: ") + std::strerror(errno));
        if (n == 0)
            return;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(STDOUT_FILENO, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                throw CliError(std::string("stdout: ") + std::strerror(errno));
            done += w;
        }
    }
}

}  // namespace

QCoro::Task<void> catCommand(Session& session, Remote remote) {
    const auto item = co_await lookUp(session, remote);
    if (!item)
        throw CliError("no such file: " + remote.path.toStdString());
    if (item->isSymlink)
        throw CliError(remote.path.toStdString() + " is a symbolic link to " +
                       item->symlinkTarget.value_or(QString()).toStdString());
    if (item->isDirectory)
        throw CliError(remote.path.toStdString() + " is a directory");
    const UniqueFd fd(::open(QFile::encodeName(QDir::tempPath()).constData(),
                             O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd)
        throw CliError(std::string("temporary file: ") + std::strerror(errno));
    fileops::TransferOptions options;
    options.partition = remote.partition;
    co_await session.service().exportFile(item->path, fd.get(), item->size, std::move(options));
    copyToStdout(fd.get());
}

}  // namespace quorvale::app::cli
