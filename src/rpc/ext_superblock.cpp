#include "rpc/ext_superblock.h"

#include <limits>

namespace quorvale::rpc {

namespace {

// Field offsets inside the superblock.
constexpr std::size_t inodesCountAt = 0x00;
constexpr std::size_t blocksCountLoAt = 0x04;
constexpr std::size_t freeBlocksLoAt = 0x0C;
constexpr std::size_t freeInodesAt = 0x10;
constexpr std::size_t logBlockSizeAt = 0x18;
constexpr std::size_t mtimeAt = 0x2C;
constexpr std::size_t wtimeAt = 0x30;
constexpr std::size_t mountCountAt = 0x34;
constexpr std::size_t maxMountCountAt = 0x36;
constexpr std::size_t magicAt = 0x38;
constexpr std::size_t stateAt = 0x3A;
constexpr std::size_t lastCheckAt = 0x40;
constexpr std::size_t compatAt = 0x5C;
constexpr std::size_t incompatAt = 0x60;
constexpr std::size_t roCompatAt = 0x64;
constexpr std::size_t uuidAt = 0x68;
constexpr std::size_t volumeNameAt = 0x78;
constexpr std::size_t lastMountedAt = 0x88;
constexpr std::size_t lastOrphanAt = 0xE8;
constexpr std::size_t mkfsTimeAt = 0x108;
constexpr std::size_t blocksCountHiAt = 0x150;
constexpr std::size_t freeBlocksHiAt = 0x158;
constexpr std::size_t checksumTypeAt = 0x175;
constexpr std::size_t errorCountAt = 0x194;
constexpr std::size_t firstErrorTimeAt = 0x198;
constexpr std::size_t firstErrorInoAt = 0x19C;
constexpr std::size_t firstErrorBlockAt = 0x1A0;
constexpr std::size_t firstErrorFuncAt = 0x1A8;
constexpr std::size_t firstErrorLineAt = 0x1C8;
constexpr std::size_t lastErrorTimeAt = 0x1CC;
constexpr std::size_t lastErrorInoAt = 0x1D0;
constexpr std::size_t lastErrorLineAt = 0x1D4;
constexpr std::size_t lastErrorBlockAt = 0x1D8;
constexpr std::size_t lastErrorFuncAt = 0x1E0;
constexpr std::size_t wtimeHiAt = 0x274;
constexpr std::size_t mtimeHiAt = 0x275;
constexpr std::size_t mkfsTimeHiAt = 0x276;
constexpr std::size_t lastCheckHiAt = 0x277;
constexpr std::size_t firstErrorTimeHiAt = 0x278;
constexpr std::size_t lastErrorTimeHiAt = 0x279;
constexpr std::size_t checksumAt = 0x3FC;

constexpr std::uint16_t extMagic = 0xEF53;
constexpr std::uint8_t checksumTypeCrc32c = 1;
// Block sizes from 1 KiB to 64 KiB.
constexpr std::uint32_t maxLogBlockSize = 6;

// Features only ext4 knows (extents, 64bit, flex_bg, mmp, inline data, ...; huge files,
// dir_nlink, extra_isize, metadata_csum).
constexpr std::uint32_t incompatExt4Only = 0x40 | 0x80 | 0x200 | 0x100 | 0x8000 | 0x400 | 0x1000;
constexpr std::uint32_t roCompatExt4Only = 0x8 | 0x20 | 0x40 | 0x400;

std::uint8_t u8(std::string_view b, std::size_t at) {
    return static_cast<std::uint8_t>(b[at]);
}
std::uint16_t le16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(u8(b, at) | (u8(b, at + 1) << 8));
}
std::uint32_t le32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(le16(b, at)) |
           (static_cast<std::uint32_t>(le16(b, at + 2)) << 16);
}
std::uint64_t le64(std::string_view b, std::size_t at) {
    return static_cast<std::uint64_t>(le32(b, at)) |
           (static_cast<std::uint64_t>(le32(b, at + 4)) << 32);
}
// A 32-bit time with its high byte (ext4 extends times past 2038).
std::uint64_t time40(std::string_view b, std::size_t lowAt, std::size_t highAt) {
    return static_cast<std::uint64_t>(le32(b, lowAt)) |
           (static_cast<std::uint64_t>(u8(b, highAt)) << 32);
}

// Bytes up to the first NUL of a fixed-size field, as printable UTF-8: control characters are
// dropped and each byte that is not part of a valid sequence becomes U+FFFD.
std::string cleanText(std::string_view b, std::size_t at, std::size_t size) {
    std::string_view raw = b.substr(at, size);
    raw = raw.substr(0, raw.find('\0'));
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
        const auto c = static_cast<std::uint8_t>(raw[i]);
        if (c < 0x80) {
            if (c >= 0x20 && c != 0x7F)
                out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        const std::size_t length = c > 0xF4 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool valid = length > 0 && i + length <= raw.size();
        std::uint32_t code = valid ? c & (0x7F >> length) : 0;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(raw[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are invalid too.
        if (valid && ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
                      (length == 4 && (code < 0x10000 || code > 0x10FFFF))))
            valid = false;
        if (valid) {
            out.append(raw.substr(i, length));
            i += length;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

std::optional<ExtErrorRecord> errorRecord(std::string_view b, std::size_t timeAt,
                                          std::size_t timeHiAt, std::size_t funcAt,
                                          std::size_t lineAt, std::size_t inoAt,
                                          std::size_t blockAt) {
    ExtErrorRecord record;
    record.time = time40(b, timeAt, timeHiAt);
    if (record.time == 0)
        return std::nullopt;
    record.function = cleanText(b, funcAt, 32);
    record.line = le32(b, lineAt);
    record.inode = le32(b, inoAt);
    record.block = le64(b, blockAt);
    return record;
}

struct FeatureName {
    std::uint32_t bit;
    const char* name;
};

constexpr FeatureName compatNames[] = {
    {0x1, "dir_prealloc"},  {0x2, "imagic_inodes"},    {0x4, "has_journal"},
    {0x8, "ext_attr"},      {0x10, "resize_inode"},    {0x20, "dir_index"},
    {0x40, "lazy_bg"},      {0x80, "snapshot_bitmap"}, {0x200, "sparse_super2"},
    {0x400, "fast_commit"}, {0x800, "stable_inodes"},  {0x1000, "orphan_file"},
};
constexpr FeatureName incompatNames[] = {
    {0x1, "compression"},  {0x2, "filetype"},       {0x4, "needs_recovery"},
    {0x8, "journal_dev"},  {0x10, "meta_bg"},       {0x40, "extent"},
    {0x80, "64bit"},       {0x100, "mmp"},          {0x200, "flex_bg"},
    {0x400, "ea_inode"},   {0x1000, "dirdata"},     {0x2000, "metadata_csum_seed"},
    {0x4000, "large_dir"}, {0x8000, "inline_data"}, {0x10000, "encrypt"},
    {0x20000, "casefold"},
};
constexpr FeatureName roCompatNames[] = {
    {0x1, "sparse_super"},       {0x2, "large_file"},       {0x8, "huge_file"},
    {0x10, "uninit_bg"},         {0x20, "dir_nlink"},       {0x40, "extra_isize"},
    {0x80, "snapshot"},          {0x100, "quota"},          {0x200, "bigalloc"},
    {0x400, "metadata_csum"},    {0x800, "replica"},        {0x1000, "read-only"},
    {0x2000, "project"},         {0x4000, "shared_blocks"}, {0x8000, "verity"},
    {0x10000, "orphan_present"},
};

}  // namespace

std::uint32_t crc32c(std::uint32_t crc, std::string_view bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t v = i;
            for (int k = 0; k < 8; ++k)
                v = (v >> 1) ^ ((v & 1) ? 0x82F63B78u : 0);
            t[i] = v;
        }
        return t;
    }();
    for (const char c : bytes)
        crc = table[(crc ^ static_cast<std::uint8_t>(c)) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::optional<ExtSuperblock> parseExtSuperblock(std::string_view b) {
    if (b.size() < extSuperblockSize)
        return std::nullopt;
    b = b.substr(0, extSuperblockSize);
    if (le16(b, magicAt) != extMagic)
        return std::nullopt;
    ExtSuperblock sb;
    sb.compat = le32(b, compatAt);
    sb.incompat = le32(b, incompatAt);
    sb.roCompat = le32(b, roCompatAt);
    if ((sb.incompat & incompatExt4Only) || (sb.roCompat & roCompatExt4Only))
        sb.filesystem = "ext4";
    else if (sb.compat & extCompatHasJournal)
        sb.filesystem = "ext3";
    else
        sb.filesystem = "ext2";
    sb.label = cleanText(b, volumeNameAt, 16);
    for (std::size_t i = 0; i < sb.uuid.size(); ++i)
        sb.uuid[i] = u8(b, uuidAt + i);
    const std::uint32_t logBlockSize = le32(b, logBlockSizeAt);
    sb.blockSize = logBlockSize <= maxLogBlockSize ? 1024u << logBlockSize : 0;
    sb.blockCount = le32(b, blocksCountLoAt);
    sb.freeBlocks = le32(b, freeBlocksLoAt);
    if (sb.incompat & extIncompat64Bit) {
        sb.blockCount |= static_cast<std::uint64_t>(le32(b, blocksCountHiAt)) << 32;
        sb.freeBlocks |= static_cast<std::uint64_t>(le32(b, freeBlocksHiAt)) << 32;
    }
    sb.inodeCount = le32(b, inodesCountAt);
    sb.freeInodes = le32(b, freeInodesAt);
    sb.created = time40(b, mkfsTimeAt, mkfsTimeHiAt);
    sb.lastMount = time40(b, mtimeAt, mtimeHiAt);
    sb.lastWrite = time40(b, wtimeAt, wtimeHiAt);
    sb.lastCheck = time40(b, lastCheckAt, lastCheckHiAt);
    sb.mountCount = le16(b, mountCountAt);
    sb.maxMountCount = static_cast<std::int16_t>(le16(b, maxMountCountAt));
    sb.state = le16(b, stateAt);
    sb.lastMountedOn = cleanText(b, lastMountedAt, 64);
    sb.lastOrphan = le32(b, lastOrphanAt);
    sb.errorCount = le32(b, errorCountAt);
    sb.firstError = errorRecord(b, firstErrorTimeAt, firstErrorTimeHiAt, firstErrorFuncAt,
                                firstErrorLineAt, firstErrorInoAt, firstErrorBlockAt);
    sb.lastError = errorRecord(b, lastErrorTimeAt, lastErrorTimeHiAt, lastErrorFuncAt,
                               lastErrorLineAt, lastErrorInoAt, lastErrorBlockAt);
    sb.hasChecksum = (sb.roCompat & extRoCompatMetadataCsum) != 0;
    if (sb.hasChecksum) {
        sb.checksumValid = u8(b, checksumTypeAt) == checksumTypeCrc32c &&
                           crc32c(0xFFFFFFFFu, b.substr(0, checksumAt)) == le32(b, checksumAt);
    }
    return sb;
}

std::string ExtSuperblock::uuidText() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[uuid[i] >> 4]);
        text.push_back(digits[uuid[i] & 0xF]);
    }
    return text;
}

std::uint64_t ExtSuperblock::sizeBytes() const {
    if (blockSize != 0 && blockCount > std::numeric_limits<std::uint64_t>::max() / blockSize)
        return std::numeric_limits<std::uint64_t>::max();
    return blockCount * blockSize;
}

std::vector<std::string> extFeatureNames(ExtFeatureSet set, std::uint32_t bits) {
    std::vector<std::string> names;
    const FeatureName* table = compatNames;
    std::size_t count = std::size(compatNames);
    char letter = 'C';
    if (set == ExtFeatureSet::incompat) {
        table = incompatNames;
        count = std::size(incompatNames);
        letter = 'I';
    } else if (set == ExtFeatureSet::roCompat) {
        table = roCompatNames;
        count = std::size(roCompatNames);
        letter = 'R';
    }
    for (unsigned bit = 0; bit < 32; ++bit) {
        const std::uint32_t mask = 1u << bit;
        if (!(bits & mask))
            continue;
        const char* name = nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            if (table[i].bit == mask)
                name = table[i].name;
        }
        names.push_back(name ? std::string(name)
                             : "FEATURE_" + std::string(1, letter) + std::to_string(bit));
    }
    return names;
}

}  // namespace quorvale::rpc
