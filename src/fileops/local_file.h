#pragma once
// Host-side file work of the chunked transfers. Functions named *Chunk run on worker threads and
// report failures in their result; the others throw FileOperationError::operationFailed with
// the system's reason and the path ("Permission denied: /home/me/photo.jpg").

#include <QString>

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fileops/conflicts.h"
#include "rpc/unique_fd.h"

namespace quorvale::fileops {

UniqueFd openForReading(const QString& path);
// Size of an open regular file (throws for anything else).
std::uint64_t regularFileSize(int fd, const QString& name);

struct EncodedChunk {
    std::shared_ptr<boost::json::value> base64;  // a JSON string, ready to become a parameter
    std::size_t requested = 0;
    std::size_t bytes = 0;  // fewer than requested only at the end of the file
    std::optional<std::string> error;
};
EncodedChunk readEncodedChunk(int fd, std::uint64_t offset, std::size_t length);

struct WrittenChunk {
    bool invalid = false;  // the text was not strict base64, or decodes to more than allowed
    std::size_t bytes = 0;
    std::optional<std::string> error;
};
// Writes the bytes of `base64` at `offset`, unless they are more than `maxBytes`.
WrittenChunk writeDecodedChunk(int fd, std::uint64_t offset, std::string_view base64,
                               std::size_t maxBytes);

// Truncates a regular file to `size`; other kinds of files are left alone.
void truncateRegularFile(int fd, std::uint64_t size);

// A file being written in a folder and invisible until publish() gives it a name. Unless told to
// replace, nothing is ever replaced: when the name is taken, the file keeps both under the first
// free numberedName(). Dropped unpublished, it leaves nothing behind.
class ExportTarget {
public:
    explicit ExportTarget(const QString& destination);
    // The file `name` in the open folder `dir`, shown as `folderPath`.
    ExportTarget(UniqueFd dir, const QString& folderPath, const QString& name);
    ~ExportTarget();
    ExportTarget(const ExportTarget&) = delete;
    ExportTarget& operator=(const ExportTarget&) = delete;

    int fd() const { return file.get(); }
    // Names the file; returns the path it got. With `replace` it takes the name whatever file
    // or link holds it (a folder there is refused).
    QString publish(bool replace = false);

private:
    void create();

    UniqueFd dir;
    QString folderPath;
    QString name;
    UniqueFd file;
    QString temporaryName;  // set when the file has a name before publish()
    bool published = false;
};

}  // namespace quorvale::fileops
