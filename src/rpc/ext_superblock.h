#pragma once
// The ext2/3/4 superblock, read at fixed offsets from the 1024 bytes that hold it. Every field
// comes from inside those bytes; nothing else of the filesystem is read or trusted. Text fields
// (label, last mount point, error functions) are cleaned to printable UTF-8. The feature sets
// are compared with what the guest kernel's ext4 driver supports: an unknown incompatible
// feature means the kernel refuses the card, an unknown read-only-compatible one that it only
// mounts it read-only. Shared by the host (health card) and the guest agent (mount choices).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::rpc {

// Where the superblock lies in a partition, and its size.
inline constexpr std::uint64_t extSuperblockOffset = 1024;
inline constexpr std::size_t extSuperblockSize = 1024;

// Feature bits the health card and the mount choices depend on.
inline constexpr std::uint32_t extCompatHasJournal = 0x4;
inline constexpr std::uint32_t extIncompatRecover = 0x4;
inline constexpr std::uint32_t extIncompat64Bit = 0x80;
inline constexpr std::uint32_t extRoCompatMetadataCsum = 0x400;
inline constexpr std::uint32_t extRoCompatReadOnly = 0x1000;
inline constexpr std::uint32_t extRoCompatOrphanPresent = 0x10000;

// What the guest kernel's ext4 driver mounts (Linux 6.1).
inline constexpr std::uint32_t extSupportedIncompat = 0x2 | 0x4 | 0x10 | 0x40 | 0x80 | 0x100 |
                                                      0x200 | 0x400 | 0x2000 | 0x4000 | 0x8000 |
                                                      0x10000 | 0x20000;
inline constexpr std::uint32_t extSupportedRoCompat = 0x1 | 0x2 | 0x8 | 0x10 | 0x20 | 0x40 | 0x100 |
                                                      0x200 | 0x400 | 0x1000 | 0x2000 | 0x8000 |
                                                      0x10000;

enum class ExtFeatureSet { compat, incompat, roCompat };

struct ExtErrorRecord {
    std::uint64_t time = 0;  // seconds since the epoch
    std::string function;    // the kernel function that reported it (may be empty)
    std::uint32_t line = 0;
    std::uint32_t inode = 0;
    std::uint64_t block = 0;
};

struct ExtSuperblock {
    std::string filesystem;  // "ext2", "ext3" or "ext4"
    std::string label;
    std::array<std::uint8_t, 16> uuid{};
    std::uint32_t blockSize = 0;  // 0: the recorded size is not one ext allows
    std::uint64_t blockCount = 0;
    std::uint64_t freeBlocks = 0;
    std::uint32_t inodeCount = 0;
    std::uint32_t freeInodes = 0;
    std::uint64_t created = 0;  // seconds since the epoch; 0: not recorded
    std::uint64_t lastMount = 0;
    std::uint64_t lastWrite = 0;
    std::uint64_t lastCheck = 0;
    std::uint16_t mountCount = 0;
    std::int16_t maxMountCount = -1;  // <= 0: no limit
    std::uint16_t state = 0;          // 1 cleanly unmounted, 2 errors detected, 4 orphans
    std::string lastMountedOn;
    std::uint32_t compat = 0;
    std::uint32_t incompat = 0;
    std::uint32_t roCompat = 0;
    std::uint32_t lastOrphan = 0;  // head of the orphan inode list, 0: empty
    std::uint32_t errorCount = 0;
    std::optional<ExtErrorRecord> firstError;
    std::optional<ExtErrorRecord> lastError;
    bool hasChecksum = false;  // metadata_csum: the superblock carries a crc32c
    bool checksumValid = true;

    std::string uuidText() const;
    // Bytes of the filesystem; saturates instead of wrapping.
    std::uint64_t sizeBytes() const;
    bool cleanlyUnmounted() const { return (state & 1) != 0; }
    bool errorsRecorded() const { return (state & 2) != 0 || errorCount > 0; }
    // The journal holds transactions that were never written home (not unmounted cleanly).
    bool needsRecovery() const { return (incompat & extIncompatRecover) != 0; }
    bool hasOrphans() const {
        return lastOrphan != 0 || (roCompat & extRoCompatOrphanPresent) != 0 || (state & 4) != 0;
    }
    std::uint32_t unsupportedIncompat() const { return incompat & ~extSupportedIncompat; }
    std::uint32_t unsupportedRoCompat() const { return roCompat & ~extSupportedRoCompat; }
    // The guest kernel refuses to mount it at all.
    bool cannotMount() const { return unsupportedIncompat() != 0 || blockSize == 0; }
    // The guest kernel mounts it read-only only.
    bool readOnlyOnly() const {
        return unsupportedRoCompat() != 0 || (roCompat & extRoCompatReadOnly) != 0;
    }
};

// Parses the superblock; nothing when fewer than 1024 bytes are given or the magic is not
// 0xEF53.
std::optional<ExtSuperblock> parseExtSuperblock(std::string_view bytes);

// Names of the bits set in `bits` of one feature set, in bit order, as e2fsprogs writes them
// ("has_journal", "extent", ...; an unnamed bit is "FEATURE_R20" and the like).
std::vector<std::string> extFeatureNames(ExtFeatureSet set, std::uint32_t bits);

// CRC-32C (Castagnoli) of `bytes` continued from `crc`, without pre- or post-inversion, as the
// ext4 metadata checksums use it.
std::uint32_t crc32c(std::uint32_t crc, std::string_view bytes);

}  // namespace quorvale::rpc
