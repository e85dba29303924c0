// Opening a disk image as the app does: the input is the image. Its partition table is read
// (MBR, GPT, none), each partition is probed for its filesystem and label, and ext4 is
// confirmed by the superblock magic. Every partition must lie inside the image, be named
// after the image with its number, count as ext4 only with the magic at its offset (or a
// Linux partition type, which the rules take for ext4), and carry a clean label.

#include <sys/mman.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSet>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "disk/disk_image_registry.h"
#include "disk/ext4_identification_service.h"
#include "disk/volume_probe.h"
#include "model/device.h"

namespace {

using namespace quorvale;

[[noreturn]] void fail(const char* why, const QString& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", why, qUtf8Printable(detail));
    std::abort();
}

bool magicAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    return offset + 1082 <= size && data[offset + 1080] == 0x53 && data[offset + 1081] == 0xEF;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "disk_image_fuzzer";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    // Each partition logs a line; a million inputs need not.
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;  // refused before anything is read
    const int fd = ::memfd_create("image", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size))
        fail("cannot make the image");
    disk::DiskImageRegistry registry;
    const model::Device device = registry.open(QStringLiteral("/proc/self/fd/%1").arg(fd));
    // Partitions the table types as Linux count as ext4 even without a superblock.
    QSet<std::uint64_t> typedLinux;
    if (const auto table = disk::readPartitionTable(fd, size)) {
        for (const disk::PartitionEntry& entry : *table) {
            if (disk::mediaContentFromPartitionType(entry.scheme, entry.type) == "Linux")
                typedLinux.insert(entry.start);
        }
    }
    ::close(fd);

    if (device.size != size)
        fail("the device size is not the image size");
    QSet<QString> names;
    for (const model::Partition& partition : device.partitions) {
        if (partition.offset > size || partition.size > size - partition.offset)
            fail("a partition reaching past the image:", partition.bsdName);
        if (device.partitions.size() > 1 || partition.bsdName != device.bsdName) {
            if (!partition.bsdName.startsWith(device.bsdName + QLatin1Char('p')))
                fail("a partition not named after its image:", partition.bsdName);
        }
        if (names.contains(partition.bsdName))
            fail("two partitions of one name:", partition.bsdName);
        names.insert(partition.bsdName);
        if (partition.isEXT4() && !magicAt(data, size, partition.offset) &&
            !typedLinux.contains(partition.offset))
            fail("ext4 without the magic or a Linux partition type:", partition.bsdName);
        if (partition.label) {
            for (const QChar c : *partition.label) {
                if (c.category() == QChar::Other_Control)
                    fail("a label with a control character:", partition.bsdName);
            }
        }
    }
    return 0;
}
