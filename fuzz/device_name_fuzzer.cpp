// The device-name rules the helper, the agent and disk detection share: a name the rules
// accept is a plain kernel name that splits into its whole disk and partition number and is
// rebuilt exactly from them; everything else is refused by every function alike.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rpc/device_name.h"

namespace {

using namespace quorvale::rpc;

[[noreturn]] void fail(const char* why, std::string_view name) {
    std::fprintf(stderr, "fuzz check failed: %s: \"%.*s\"\n", why, static_cast<int>(name.size()),
                 name.data());
    std::abort();
}

bool plain(std::string_view name) {
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return !name.empty() && name.size() <= 32;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const bool valid = isDeviceName(name);
    const auto disk = wholeDiskName(name);
    const auto number = partitionNumber(name);
    const bool whole = isWholeDiskName(name);

    if (valid != disk.has_value())
        fail("isDeviceName and wholeDiskName disagree", name);
    if (!valid) {
        if (whole || number)
            fail("an invalid name has a whole disk or a partition number", name);
        return 0;
    }
    if (!plain(name))
        fail("accepted a name that is not a plain kernel name", name);
    if (whole != !number.has_value())
        fail("a name is both or neither a whole disk and a partition", name);
    if (!isWholeDiskName(*disk) || wholeDiskName(*disk) != disk || partitionNumber(*disk))
        fail("the whole disk of a name is not a whole-disk name", name);
    if (whole) {
        if (*disk != name)
            fail("a whole disk is not its own whole disk", name);
        return 0;
    }
    if (*number == 0)
        fail("partition number 0", name);
    // Disks ending in a digit take "p<n>" (mmcblk0p1), the others a bare number (sdb1).
    const bool digitSuffixed = disk->back() >= '0' && disk->back() <= '9';
    const std::string rebuilt = *disk + (digitSuffixed ? "p" : "") + std::to_string(*number);
    if (rebuilt != name)
        fail("a partition name is not rebuilt from its disk and number", name);
    return 0;
}
