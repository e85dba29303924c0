// The ext2/3/4 superblock readers on raw bytes: the agent's (which decides whether and how a
// partition is mounted) and the host's magic check (which marks a partition as ext4 from the
// device node). Both must agree on the magic, and the agent's reading must name one of the
// three generations and a label of valid UTF-8 that fits the on-disk field.

#include <sys/mman.h>
#include <unistd.h>

#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "agent/ext_superblock.h"
#include "agent/utf8.h"
#include "disk/ext4_identification_service.h"

namespace {

using namespace quorvale;

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "fuzz check failed: %s\n", why);
    std::abort();
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
        size > agent::extSuperblockOffset ? bytes.substr(agent::extSuperblockOffset) : "";
    const auto parsed = agent::parseExtSuperblock(superblock);
    const bool magic = size >= 1082 && data[1080] == 0x53 && data[1081] == 0xEF;
    if (parsed && !magic)
        fail("the agent read a superblock without the magic");
    if (!parsed && magic && superblock.size() >= agent::extSuperblockSize)
        fail("the agent refused a whole superblock with the magic");
    if (parsed) {
        if (parsed->filesystem != "ext2" && parsed->filesystem != "ext3" &&
            parsed->filesystem != "ext4")
            fail("an unknown generation");
        if (agent::validUtf8(parsed->label) != parsed->label)
            fail("a label that is not valid UTF-8");
        if (parsed->label.find('\0') != std::string::npos)
            fail("a label with a NUL");
    }

    static const int fd = ::memfd_create("superblock", MFD_CLOEXEC);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        fail("cannot write the partition");
    if (disk::EXT4IdentificationService::checkMagic(fd, 0, QStringLiteral("fuzz")) != magic)
        fail("the host's magic check disagrees with the bytes");
    return 0;
}
