#include "agent/ext_superblock.h"

#include <cstdint>

#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

std::uint32_t le32(std::string_view b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

constexpr std::size_t magicAt = 0x38;
constexpr std::size_t compatAt = 0x5C;
constexpr std::size_t incompatAt = 0x60;
constexpr std::size_t roCompatAt = 0x64;
constexpr std::size_t volumeNameAt = 0x78;
constexpr std::size_t volumeNameSize = 16;

constexpr std::uint32_t compatHasJournal = 0x4;
// Features only ext4 knows: extents, 64bit, flex_bg, mmp, inline data, ... and huge files,
// dir_nlink, extra_isize, metadata_csum among the read-only compatible ones.
constexpr std::uint32_t incompatExt4Only = 0x40 | 0x80 | 0x200 | 0x100 | 0x8000 | 0x400 | 0x1000;
constexpr std::uint32_t roCompatExt4Only = 0x8 | 0x20 | 0x40 | 0x400;

}  // namespace

std::optional<ExtSuperblock> parseExtSuperblock(std::string_view bytes) {
    if (bytes.size() < extSuperblockSize)
        return std::nullopt;
    const auto magic = static_cast<std::uint16_t>(le32(bytes, magicAt) & 0xFFFF);
    if (magic != 0xEF53)
        return std::nullopt;
    ExtSuperblock sb;
    if ((le32(bytes, incompatAt) & incompatExt4Only) ||
        (le32(bytes, roCompatAt) & roCompatExt4Only))
        sb.filesystem = "ext4";
    else if (le32(bytes, compatAt) & compatHasJournal)
        sb.filesystem = "ext3";
    else
        sb.filesystem = "ext2";
    auto name = bytes.substr(volumeNameAt, volumeNameSize);
    name = name.substr(0, name.find('\0'));
    sb.label = validUtf8(name);
    return sb;
}

}  // namespace quorvale::agent
