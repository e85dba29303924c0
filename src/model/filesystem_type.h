#pragma once
// FilesystemType: the filesystem detected on a partition. Raw values are fixed strings
// ("hfs+" for hfsPlus); building one from any other raw string (case matters) yields nothing.

#include <QString>

#include <array>
#include <optional>

namespace quorvale::model {

enum class FilesystemType { ext4, ext3, ext2, fat32, exfat, ntfs, hfsPlus, apfs, unknown };

// Every case, in declaration order.
inline constexpr std::array allFilesystemTypes = {
    FilesystemType::ext4,    FilesystemType::ext3,  FilesystemType::ext2,
    FilesystemType::fat32,   FilesystemType::exfat, FilesystemType::ntfs,
    FilesystemType::hfsPlus, FilesystemType::apfs,  FilesystemType::unknown};

QString rawValue(FilesystemType type);
std::optional<FilesystemType> filesystemTypeFromRaw(const QString& raw);
// The name shown to people: "EXT4", "EXT3", "EXT2", "FAT32", "exFAT", "NTFS", "HFS+", "APFS"
// or "Unknown".
QString displayName(FilesystemType type);

}  // namespace quorvale::model
