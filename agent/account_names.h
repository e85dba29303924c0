#pragma once
// AccountNames: owner and group names of one served tree, read from the tree's own
// etc/passwd and etc/group (never the agent's). An id without a name shows as its number.
// The tables are cached and re-read when either file changes; safe to share across threads.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvale::agent {

class RootDir;

using IdNames = std::unordered_map<std::uint32_t, std::string>;

// Parses passwd/group lines "name:x:id:..." into id -> name; the first name of an id wins,
// "#" comments and malformed lines are skipped. Names are made valid UTF-8.
IdNames parseIdNames(std::string_view fileText);

class AccountNames {
public:
    // Snapshot of both tables, refreshed from `root` when its files changed.
    struct Tables {
        IdNames users;
        IdNames groups;
        std::string user(uid_t uid) const;
        std::string group(gid_t gid) const;
    };

    std::shared_ptr<const Tables> tables(const RootDir& root);

private:
    struct Stamp {
        std::int64_t mtimeNs = -1;
        std::int64_t size = -1;
        bool operator==(const Stamp&) const = default;
    };

    std::mutex mutex_;
    Stamp passwdStamp_, groupStamp_;
    std::shared_ptr<const Tables> tables_;
};

}  // namespace quorvale::agent
