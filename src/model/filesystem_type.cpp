#include "model/filesystem_type.h"

namespace quorvale::model {

QString rawValue(FilesystemType type) {
    switch (type) {
        case FilesystemType::ext4:
            return QStringLiteral("ext4");
        case FilesystemType::ext3:
            return QStringLiteral("ext3");
        case FilesystemType::ext2:
            return QStringLiteral("ext2");
        case FilesystemType::fat32:
            return QStringLiteral("fat32");
        case FilesystemType::exfat:
            return QStringLiteral("exfat");
        case FilesystemType::ntfs:
            return QStringLiteral("ntfs");
        case FilesystemType::hfsPlus:
            return QStringLiteral("hfs+");
        case FilesystemType::apfs:
            return QStringLiteral("apfs");
        case FilesystemType::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

std::optional<FilesystemType> filesystemTypeFromRaw(const QString& raw) {
    for (FilesystemType type : allFilesystemTypes) {
        if (rawValue(type) == raw)
            return type;
    }
    return std::nullopt;
}

QString displayName(FilesystemType type) {
    switch (type) {
        case FilesystemType::ext4:
            return QStringLiteral("EXT4");
        case FilesystemType::ext3:
            return QStringLiteral("EXT3");
        case FilesystemType::ext2:
            return QStringLiteral("EXT2");
        case FilesystemType::fat32:
            return QStringLiteral("FAT32");
        case FilesystemType::exfat:
            return QStringLiteral("exFAT");
        case FilesystemType::ntfs:
            return QStringLiteral("NTFS");
        case FilesystemType::hfsPlus:
            return QStringLiteral("HFS+");
        case FilesystemType::apfs:
            return QStringLiteral("APFS");
        case FilesystemType::unknown:
            break;
    }
    return QStringLiteral("Unknown");
}

}  // namespace quorvale::model
