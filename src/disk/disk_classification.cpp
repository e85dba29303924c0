#include "disk/disk_classification.h"

namespace quorvale::disk {

using model::FilesystemType;
using model::MediaType;

MediaType classifyMedia(const DiskDescription& description) {
    const QString mediaName =
        description.string(kDADiskDescriptionMediaNameKey).value_or(QString()).toLower();
    const QString devicePath =
        description.string(kDADiskDescriptionDevicePathKey).value_or(QString()).toLower();
    if (mediaName.contains(QLatin1String("sd")) || mediaName.contains(QLatin1String("card")) ||
        devicePath.contains(QLatin1String("card"))) {
        return MediaType::sdCard;
    }
    if (mediaName.contains(QLatin1String("usb")) || devicePath.contains(QLatin1String("usb")))
        return MediaType::usbDrive;
    return MediaType::sdCard;
}

FilesystemType classifyFilesystem(const DiskDescription& description,
                                  const std::function<bool()>& superblockCheck) {
    if (const auto volumeType = description.string(kDADiskDescriptionVolumeTypeKey)) {
        const QString type = volumeType->toLower();
        if (type == QLatin1String("ext4") || type == QLatin1String("ext3") ||
            type == QLatin1String("ext2"))
            return FilesystemType::ext4;
        if (type == QLatin1String("msdos") || type == QLatin1String("fat32"))
            return FilesystemType::fat32;
        if (type == QLatin1String("exfat"))
            return FilesystemType::exfat;
        if (type == QLatin1String("ntfs"))
            return FilesystemType::ntfs;
        if (type == QLatin1String("hfs"))
            return FilesystemType::hfsPlus;
        if (type == QLatin1String("apfs"))
            return FilesystemType::apfs;
    }
    if (superblockCheck())
        return FilesystemType::ext4;
    if (const auto content = description.string(kDADiskDescriptionMediaContentKey)) {
        if (content->contains(QLatin1String("DOS_FAT")) ||
            content->contains(QLatin1String("Windows_FAT")))
            return FilesystemType::fat32;
        if (content->contains(QLatin1String("Linux")))
            return FilesystemType::ext4;
    }
    return FilesystemType::unknown;
}

}  // namespace quorvale::disk
