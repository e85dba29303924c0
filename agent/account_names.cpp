#include "agent/account_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <memory>

#include "agent/root_dir.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

constexpr std::size_t maxAccountFileBytes = 4 << 20;

// Opens etc/<name> of the tree without leaving it; -1 when it cannot.
UniqueFd openAccountFile(const RootDir& root, const char* name) {
    try {
        return root.open(RequestPath::parse(std::string("/etc/") + name), O_RDONLY | O_NONBLOCK);
    } catch (const std::exception&) {
        return UniqueFd();
    }
}

std::string readSmallFile(int fd) {
    std::string text;
    char buffer[16384];
    while (text.size() < maxAccountFileBytes) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace

IdNames parseIdNames(std::string_view fileText) {
    IdNames names;
    std::size_t pos = 0;
    while (pos < fileText.size()) {
        const auto end = std::min(fileText.find('\n', pos), fileText.size());
        const auto line = fileText.substr(pos, end - pos);
        pos = end + 1;
        const auto c1 = line.find(':');
        if (c1 == 0 || c1 == std::string_view::npos || line.front() == '#')
            continue;
        const auto c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos)
            continue;
        const auto c3 = std::min(line.find(':', c2 + 1), line.size());
        const auto idText = line.substr(c2 + 1, c3 - c2 - 1);
        std::uint32_t id = 0;
        const auto [ptr, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
        if (ec != std::errc() || ptr != idText.data() + idText.size() || idText.empty())
            continue;
        names.try_emplace(id, validUtf8(line.substr(0, c1)));
    }
    return names;
}

std::string AccountNames::Tables::user(uid_t uid) const {
    const auto it = users.find(uid);
    return it != users.end() ? it->second : std::to_string(uid);
}

std::string AccountNames::Tables::group(gid_t gid) const {
    const auto it = groups.find(gid);
    return it != groups.end() ? it->second : std::to_string(gid);
}

std::shared_ptr<const AccountNames::Tables> AccountNames::tables(const RootDir& root) {
    auto passwd = openAccountFile(root, "passwd");
    auto group = openAccountFile(root, "group");
    const auto stampOf = [](const UniqueFd& fd) {
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return Stamp{};
        return Stamp{st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, st.st_size};
    };
    const Stamp passwdStamp = stampOf(passwd);
    const Stamp groupStamp = stampOf(group);

    std::lock_guard lock(mutex_);
    if (tables_ && passwdStamp == passwdStamp_ && groupStamp == groupStamp_)
        return tables_;
    auto fresh = std::make_shared<Tables>();
    if (passwdStamp.size >= 0)
        fresh->users = parseIdNames(readSmallFile(passwd.get()));
    if (groupStamp.size >= 0)
        fresh->groups = parseIdNames(readSmallFile(group.get()));
    passwdStamp_ = passwdStamp;
    groupStamp_ = groupStamp;
    tables_ = std::move(fresh);
    return tables_;
}

}  // namespace quorvale::agent
