#pragma once
// The medium and filesystem rules of disk detection, over description dictionaries.

#include <functional>

#include "disk/disk_description.h"
#include "model/filesystem_type.h"
#include "model/media_type.h"

namespace quorvale::disk {

// First match wins: media name "sd", "card"; device path "card"; media name "usb"; device
// path "usb"; else sdCard (never unknown).
model::MediaType classifyMedia(const DiskDescription& description);

// Volume type first (ext2/3/4 all give ext4); then superblockCheck(); then the media content
// ("DOS_FAT", "Windows_FAT" -> fat32, "Linux" -> ext4); else unknown.
model::FilesystemType classifyFilesystem(const DiskDescription& description,
                                         const std::function<bool()>& superblockCheck);

}  // namespace quorvale::disk
