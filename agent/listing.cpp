#include "agent/listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>
#include <utility>

#include "agent/agent_error.h"
#include "agent/json_writer.h"
#include "agent/partition.h"
#include "agent/tree_walk.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

std::uint64_t allocatedBytes(const struct stat& st) {
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

double seconds(const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Adds up the sizes of everything below a directory, as listed (symlinks count their own size)
// and as allocated on the disk (st_blocks). A file with several links is allocated once; the
// walk stays on the directory's filesystem.
class SizeTotal : public TreeWalk::Visitor {
public:
    SizeTotal(dev_t device, std::set<std::pair<dev_t, ino_t>>& linked)
        : device(device), linked(linked) {}
    bool visit(int, const char*, const struct stat& st) override {
        if (st.st_dev != device)
            return false;
        if (!S_ISDIR(st.st_mode))
            total += static_cast<std::uint64_t>(st.st_size);
        if (S_ISDIR(st.st_mode) || st.st_nlink < 2 || linked.size() >= maxLinkedTracked ||
            linked.insert({st.st_dev, st.st_ino}).second)
            allocated += allocatedBytes(st);
        return S_ISDIR(st.st_mode);
    }
    // Counted, and the walk goes on: the totals are then at least what they say.
    void unreadable(const std::string&, int) override { ++unreadableCount; }
    // Beyond this many multiply-linked files, further links count again.
    static constexpr std::size_t maxLinkedTracked = 1 << 20;
    const dev_t device;
    std::set<std::pair<dev_t, ino_t>>& linked;
    std::uint64_t total = 0;
    std::uint64_t allocated = 0;
    std::uint64_t unreadableCount = 0;
};

boost::json::object unreadableUsage(const char* name, int error) {
    boost::json::object o;
    o["name"] = escapeName(name);
    o["size"] = 0;
    o["allocated"] = 0;
    o["is_directory"] = false;
    o["unreadable"] = errnoText(error);
    return o;
}

}  // namespace

std::string readLinkAt(int dirFd, const char* name, std::size_t sizeHint) {
    std::string target(std::max<std::size_t>(sizeHint, 64) + 1, '\0');
    for (;;) {
        const auto n = ::readlinkat(dirFd, name, target.data(), target.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

void forEachEntry(int dirFd, const std::string& display,
                  const std::function<void(const char* name)>& visit, Temporaries temporaries) {
    DirectoryReader reader(dirFd, display, temporaries);
    while (const dirent* entry = reader.next())
        visit(entry->d_name);
}

void appendEntryJSON(std::string& out, std::string_view name, const struct stat& st,
                     const AccountNames::Tables& names, const std::string* symlinkTarget) {
    out += R"({"name":)";
    appendJSONString(out, escapeName(name));
    out += R"(,"size":)";
    appendJSONNumber(out, static_cast<std::int64_t>(st.st_size));
    out += R"(,"is_directory":)";
    appendJSONBool(out, S_ISDIR(st.st_mode));
    out += R"(,"permissions":)";
    appendJSONNumber(out, static_cast<std::int64_t>(st.st_mode & 0xFFFF));
    out += R"(,"owner":)";
    appendJSONString(out, names.user(st.st_uid));
    out += R"(,"group":)";
    appendJSONString(out, names.group(st.st_gid));
    out += R"(,"mtime":)";
    appendJSONNumber(out, seconds(st.st_mtim));
    out += R"(,"is_symlink":)";
    appendJSONBool(out, S_ISLNK(st.st_mode));
    if (symlinkTarget) {
        out += R"(,"symlink_target":)";
        appendJSONString(out, escapeName(*symlinkTarget));
    }
    out += '}';
}

bool appendListedEntry(std::string& out, int dirFd, const char* name,
                       const AccountNames::Tables& names) {
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        if (error == ENOENT)
            return false;  // gone meanwhile
        // Listed as ls -l does: by its name, with the reason, never hiding the rest.
        out += R"({"name":)";
        appendJSONString(out, escapeName(name));
        out += R"(,"unreadable":)";
        appendJSONString(out, errnoText(error));
        out += '}';
        return true;
    }
    if (S_ISLNK(st.st_mode)) {
        const auto target = readLinkAt(dirFd, name, static_cast<std::size_t>(st.st_size));
        appendEntryJSON(out, name, st, names, &target);
    } else {
        appendEntryJSON(out, name, st, names, nullptr);
    }
    return true;
}

std::string listDirectory(Partition& partition, const RequestPath& path) {
    const auto dir = partition.root.openDirectory(path);
    const auto names = partition.accounts.tables(partition.root);
    std::string out = "[";
    out.reserve(4096);
    DirectoryReader reader(dir.get(), path.display);
    while (const dirent* entry = reader.next()) {
        const auto before = out.size();
        if (before > 1)
            out += ',';
        if (!appendListedEntry(out, dir.get(), entry->d_name, *names))
            out.resize(before);
    }
    out += ']';
    return out;
}

boost::json::array directoryUsage(Partition& partition, const RequestPath& path) {
    const auto dir = partition.root.openDirectory(path);
    struct stat top {};
    if (::fstat(dir.get(), &top) != 0)
        throw AgentError::system(errno, path.display);
    std::set<std::pair<dev_t, ino_t>> linked;
    boost::json::array entries;
    forEachEntry(dir.get(), path.display, [&](const char* name) {
        struct stat st {};
        if (::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)  // else gone meanwhile
                entries.push_back(unreadableUsage(name, errno));
            return;
        }
        auto size = static_cast<std::uint64_t>(st.st_size);
        std::uint64_t allocated = 0;
        std::uint64_t unreadableBelow = 0;
        if (st.st_nlink < 2 || S_ISDIR(st.st_mode) || linked.insert({st.st_dev, st.st_ino}).second)
            allocated = allocatedBytes(st);
        if (S_ISDIR(st.st_mode) && st.st_dev == top.st_dev) {
            const auto child = path.child(name).display;
            UniqueFd sub(
                ::openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                if (errno != ENOENT)
                    entries.push_back(unreadableUsage(name, errno));
                return;
            }
            TreeWalk walk(std::move(sub), child);
            SizeTotal sizes(top.st_dev, linked);
            try {
                walk.run(sizes);
            } catch (const AgentError& e) {
                // The folder itself cannot be read (a failure below it is counted instead).
                if (e.kind != AgentError::Kind::system)
                    throw;
                entries.push_back(unreadableUsage(name, e.errnoValue));
                return;
            }
            size = sizes.total;
            allocated += sizes.allocated;
            unreadableBelow = sizes.unreadableCount;
        } else if (S_ISDIR(st.st_mode)) {
            size = 0;  // another filesystem mounted here
        }
        boost::json::object o;
        o["name"] = escapeName(name);
        o["size"] = static_cast<std::int64_t>(size);
        o["allocated"] = static_cast<std::int64_t>(allocated);
        o["is_directory"] = S_ISDIR(st.st_mode);
        if (unreadableBelow > 0)
            o["unreadable_below"] = static_cast<std::int64_t>(unreadableBelow);
        entries.push_back(std::move(o));
    });
    return entries;
}

}  // namespace quorvale::agent
