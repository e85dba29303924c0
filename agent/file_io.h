#pragma once
// File contents: "read_file" (a byte range as base64) and "write_file" (atomic replace).
// A write goes to a temporary file in the destination's directory (see TemporaryFile), is
// flushed with fsync and then put in place of the destination, so readers see the old file or
// the new one, never a part. A chunked upload keeps its temporary file open in Uploads from
// its first chunk (offset 0) to its final one, which publishes it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/request_path.h"
#include "agent/temporary_file.h"

namespace quorvale::agent {

struct Partition;
class Uploads;

// Alignment of memory, offsets and sizes for writes that bypass the page cache.
inline constexpr std::size_t directAlignment = 4096;

// Largest read answered in one call, whatever "max_bytes" asks for.
inline constexpr std::int64_t maxReadBytes = std::int64_t{16} << 20;

// Up to `maxBytes` (capped) bytes from `offset`, base64 encoded. An offset past the end of
// the file is an error; at the end it gives "".
std::string readFile(Partition& partition, const RequestPath& path, std::int64_t maxBytes,
                     std::int64_t offset);

struct WriteChunk {
    std::string_view data;               // decoded bytes
    std::optional<std::int64_t> offset;  // absent: the whole file in one call
    bool final = true;                   // publish after this chunk
    PublishOptions publish;              // how the final chunk publishes
};

// Writes `chunk` for the session `session`, whose chunked uploads are kept in `uploads`.
void writeFile(Partition& partition, Uploads& uploads, std::uint64_t session,
               const RequestPath& path, const WriteChunk& chunk);
// Ends the session's upload to `path` without publishing it; true when there was one.
bool abortUpload(Partition& partition, Uploads& uploads, std::uint64_t session,
                 const RequestPath& path);

}  // namespace quorvale::agent
