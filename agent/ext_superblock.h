#pragma once
// The ext2/3/4 superblock fields the agent needs before and after mounting a partition:
// whether it is ext at all, which generation, and its volume label.

#include <optional>
#include <string>
#include <string_view>

namespace quorvale::agent {

struct ExtSuperblock {
    std::string filesystem;  // "ext2", "ext3" or "ext4"
    std::string label;       // volume name, valid UTF-8, may be empty
};

// Offset and size of the superblock on the device.
inline constexpr std::size_t extSuperblockOffset = 1024;
inline constexpr std::size_t extSuperblockSize = 1024;

// Parses the 1024 superblock bytes; nothing when the magic is not 0xEF53.
std::optional<ExtSuperblock> parseExtSuperblock(std::string_view bytes);

}  // namespace quorvale::agent
