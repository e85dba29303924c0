#include "rpc/device_name.h"

#include <charconv>
#include <regex>

namespace quorvale::rpc {

namespace {

struct Parsed {
    std::string disk;
    std::optional<unsigned> partition;
};

// Letter-suffixed disks take a bare partition number (sdb1); digit-suffixed disks take "p<n>".
const std::regex kLetterDisk(R"(((?:sd|vd|hd|xvd)[a-z]{1,3})([1-9][0-9]{0,3})?)");
const std::regex kDigitDisk(
    R"(((?:mmcblk|loop|image)[0-9]{1,4}|nvme[0-9]{1,4}n[0-9]{1,4})(?:p([1-9][0-9]{0,3}))?)");

std::optional<Parsed> parse(std::string_view name) {
    if (name.empty() || name.size() > 32)
        return std::nullopt;
    std::match_results<std::string_view::const_iterator> m;
    if (!std::regex_match(name.begin(), name.end(), m, kLetterDisk) &&
        !std::regex_match(name.begin(), name.end(), m, kDigitDisk)) {
        return std::nullopt;
    }
    Parsed p{m[1].str(), std::nullopt};
    if (m[2].matched) {
        unsigned n = 0;
        const auto s = m[2].str();
        std::from_chars(s.data(), s.data() + s.size(), n);
        p.partition = n;
    }
    return p;
}

}  // namespace

bool isDeviceName(std::string_view name) {
    return parse(name).has_value();
}

bool isWholeDiskName(std::string_view name) {
    const auto p = parse(name);
    return p && !p->partition;
}

std::optional<std::string> wholeDiskName(std::string_view name) {
    auto p = parse(name);
    if (!p)
        return std::nullopt;
    return std::move(p->disk);
}

std::optional<unsigned> partitionNumber(std::string_view name) {
    const auto p = parse(name);
    if (!p)
        return std::nullopt;
    return p->partition;
}

std::optional<std::string> partitionName(std::string_view wholeDisk, unsigned number) {
    if (!isWholeDiskName(wholeDisk) || number == 0)
        return std::nullopt;
    std::string name(wholeDisk);
    if (name.back() >= '0' && name.back() <= '9')
        name += 'p';
    name += std::to_string(number);
    // Round-trips only for numbers the parser accepts.
    if (partitionNumber(name) != number)
        return std::nullopt;
    return name;
}

}  // namespace quorvale::rpc
