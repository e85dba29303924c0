#include "fileops/tree_steps.h"

#include <cstring>
#include <string>

#include "fileops/file_operation_error.h"

namespace quorvale::fileops::tree {

[[noreturn]] void fail(int error, const QString& path) {
    throw FileOperationError::operationFailed(std::string(std::strerror(error)) + ": " +
                                              path.toStdString());
}

QString joined(const QString& folder, const QString& name) {
    if (folder.isEmpty() || name.isEmpty())
        return folder.isEmpty() ? name : folder;
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

void report(const TreeOptions& options, const TreeProgress& progress) {
    if (options.progress)
        options.progress(progress);
}

TransferOptions fileOptions(const TreeOptions& options, std::uint64_t doneBefore,
                            TreeProgress* progress) {
    TransferOptions result;
    result.partition = options.partition;
    result.stop = options.stop;
    result.chunkBytes = options.chunkBytes;
    auto handler = options.progress;
    result.progress = [handler, doneBefore, progress](std::uint64_t done, std::uint64_t) {
        progress->bytesDone = doneBefore + done;
        if (handler)
            handler(*progress);
    };
    return result;
}

}  // namespace quorvale::fileops::tree
