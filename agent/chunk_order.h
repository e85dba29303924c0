#pragma once
// Keeps the chunks of an upload in order when the host sends several at once. Calls run on
// threads of their own, so a chunk may reach its write before the one it follows: it waits
// until the file has grown to its offset, for as long as the file keeps growing.

#include <chrono>
#include <cstdint>
#include <string>

namespace quorvale::agent {

// How long a chunk waits for the file to grow before it gives up.
inline constexpr std::chrono::milliseconds chunkPatience{2000};

// The size of the open upload `fd` once it is at least `offset`, or the size it stopped
// growing at. `display` names the file in errors.
std::int64_t awaitUploadSize(int fd, std::int64_t offset, const std::string& display);

// Wakes the chunks waiting in awaitUploadSize() after a chunk has been written.
void uploadGrew();

}  // namespace quorvale::agent
