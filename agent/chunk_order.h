#pragma once
// Keeps the chunks of an upload in order when the host sends several at once. Calls run on
// threads of their own, so a chunk may reach its write before the one it follows: it waits
// until the file has grown to its offset, for as long as a write to the file is under way (a
// slow card may take seconds per chunk) or the file grew lately.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace quorvale::agent {

// How long a chunk waits for a file that nobody writes to grow.
inline constexpr std::chrono::milliseconds chunkPatience{2000};

// A chunk write to the file open as `fd`, under way for as long as this lives.
class ChunkWrite {
public:
    explicit ChunkWrite(int fd);
    ~ChunkWrite();
    ChunkWrite(const ChunkWrite&) = delete;
    ChunkWrite& operator=(const ChunkWrite&) = delete;

private:
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// The size of the open upload `fd` once it is at least `offset`, or the size it stopped
// growing at after `patience` without a write under way. `display` names the file in errors.
std::int64_t awaitUploadSize(int fd, std::int64_t offset, const std::string& display,
                             std::chrono::milliseconds patience = chunkPatience);

}  // namespace quorvale::agent
