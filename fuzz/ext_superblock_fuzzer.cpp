// The ext2/3/4 superblock on raw bytes: the shared reader (the agent's mount choices and the
// host's health card), the host's health read from a file descriptor, and the host's magic check
// (which marks a partition as ext4 from the device node). All must agree on the magic; a parsed
// superblock names one of the three generations, carries only printable UTF-8 text and names
// every feature bit it holds.

#include <sys/mman.h>
#include <unistd.h>

#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "disk/ext4_identification_service.h"
#include "disk/partition_health.h"
#include "rpc/ext_superblock.h"
#include "rpc/utf8_text.h"

namespace {

using namespace quorvale;

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "fuzz check failed: %s\n", why);
    std::abort();
}

bool printable(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

void checkText(const std::string& text, std::size_t field) {
    if (!rpc::isValidUtf8(text))
        fail("text that is not valid UTF-8");
    if (!printable(text))
        fail("text with a control character");
    // Each byte of the field becomes at most U+FFFD (three bytes).
    if (text.size() > 3 * field)
        fail("text longer than its field allows");
}

void checkFeatures(rpc::ExtFeatureSet set, std::uint32_t bits) {
    const auto names = rpc::extFeatureNames(set, bits);
    if (names.size() != static_cast<std::size_t>(__builtin_popcount(bits)))
        fail("a feature bit without exactly one name");
    for (const std::string& name : names) {
        if (name.empty())
            fail("an empty feature name");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input is the partition from its start: the superblock lies at byte 1024.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string_view superblock =
        size > rpc::extSuperblockOffset ? bytes.substr(rpc::extSuperblockOffset) : "";
    const auto parsed = rpc::parseExtSuperblock(superblock);
    const bool magic = size >= 1082 && data[1080] == 0x53 && data[1081] == 0xEF;
    const bool whole = superblock.size() >= rpc::extSuperblockSize;
    if (parsed && !magic)
        fail("a superblock read without the magic");
    if (!parsed && magic && whole)
        fail("a whole superblock with the magic refused");
    if (parsed) {
        if (parsed->filesystem != "ext2" && parsed->filesystem != "ext3" &&
            parsed->filesystem != "ext4")
            fail("an unknown generation");
        checkText(parsed->label, 16);
        checkText(parsed->lastMountedOn, 64);
        for (const auto& record : {parsed->firstError, parsed->lastError}) {
            if (record)
                checkText(record->function, 32);
        }
        if (parsed->uuidText().size() != 36)
            fail("a UUID that is not 36 characters");
        if (parsed->blockSize != 0 && (parsed->blockSize < 1024 || parsed->blockSize > 65536 ||
                                       (parsed->blockSize & (parsed->blockSize - 1)) != 0))
            fail("a block size ext does not allow");
        if (parsed->blockSize != 0 && parsed->blockCount != 0 &&
            parsed->sizeBytes() < parsed->blockCount)
            fail("a size that wrapped");
        checkFeatures(rpc::ExtFeatureSet::compat, parsed->compat);
        checkFeatures(rpc::ExtFeatureSet::incompat, parsed->incompat);
        checkFeatures(rpc::ExtFeatureSet::roCompat, parsed->roCompat);
    }

    static const int fd = ::memfd_create("superblock", MFD_CLOEXEC);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        fail("cannot write the partition");
    if (disk::EXT4IdentificationService::checkMagic(fd, 0, QStringLiteral("fuzz")) != magic)
        fail("the host's magic check disagrees with the bytes");

    // The health read takes the same bytes through a file, bounded by the partition's size.
    const auto health = disk::PartitionHealthReader::readAt(fd, 0, size, QStringLiteral("fuzz"));
    if (health.superblock.has_value() != (parsed.has_value() && whole))
        fail("the health read and the parser disagree");
    if (!health.superblock && health.problem.isEmpty())
        fail("no superblock and no reason");
    if (health.superblock && health.largerThanPartition != (health.superblock->sizeBytes() > size))
        fail("a filesystem larger than its partition not marked");
    return 0;
}
