// Transcripts against cards crafted to turn the agent's own writes against it: set-ID modes,
// entries planted where temporary files used to be named, and uploads that never finish.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

// The name an earlier agent gave the temporary file of a chunked upload to `leaf`.
std::string predictableUploadName(std::string_view leaf) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (const char c : leaf) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(".quorvale-tmp-u") + hex;
}

// Builds `levels` nested directories "d" under `top` (created), with a file of `level % 10 + 1`
// bytes named "f" every 1,000 levels and "leaf" (5 bytes) at the bottom; returns the bytes.
// Works below the path-length limit by descending with descriptors.
std::uint64_t makeDeepTree(const std::string& top, int levels) {
    EXPECT_EQ(::mkdir(top.c_str(), 0755), 0);
    UniqueFd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::uint64_t bytes = 0;
    const auto addFile = [&](const char* name, std::size_t size) {
        UniqueFd file(::openat(dir.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        EXPECT_EQ(::write(file.get(), "0123456789", size), static_cast<ssize_t>(size));
        bytes += size;
    };
    for (int level = 1; level <= levels; ++level) {
        if (level % 1000 == 0)
            addFile("f", static_cast<std::size_t>(level % 10 + 1));
        EXPECT_EQ(::mkdirat(dir.get(), "d", 0755), 0);
        dir.reset(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir)
            return 0;
    }
    addFile("leaf", 5);
    return bytes;
}

// The depth of the chain of "d" directories under `top`, and the contents of its "leaf".
std::pair<int, std::string> deepTreeShape(const std::string& top) {
    UniqueFd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int depth = 0;
    while (dir) {
        UniqueFd next(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!next)
            break;
        dir = std::move(next);
        ++depth;
    }
    UniqueFd leaf(::openat(dir.get(), "leaf", O_RDONLY | O_CLOEXEC));
    char text[16] = {};
    const auto n = leaf ? ::read(leaf.get(), text, sizeof text) : 0;
    return {depth, std::string(text, static_cast<std::size_t>(std::max<ssize_t>(n, 0)))};
}

class HostileCard : public ::testing::Test {
public:
    explicit HostileCard(AgentOptions options = {}) : agent(std::move(options)) {}

    AgentProcess agent;
    AgentClient client = agent.connect();

    std::string at(const std::string& path) const { return agent.root() + path; }

    json::value chunk(AgentClient& c, const std::string& path, std::string_view data,
                      std::int64_t offset, bool final) {
        return c.call(
            "write_file",
            {{"path", path}, {"data_b64", base64(data)}, {"offset", offset}, {"final", final}});
    }
    void upload(const std::string& path, std::string_view first, std::string_view rest) {
        EXPECT_TRUE(chunk(client, path, first, 0, false).as_object().contains("result"));
        const auto last = chunk(client, path, rest, static_cast<std::int64_t>(first.size()), true);
        EXPECT_TRUE(last.as_object().contains("result")) << json::serialize(last);
    }

    // Regular files under the served tree that the agent holds open (uploads in progress).
    int filesHeld() const {
        int held = 0;
        const auto fdDir = "/proc/" + std::to_string(agent.pid()) + "/fd";
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(fdDir, ec)) {
            struct stat st {};
            const auto target = fs::read_symlink(entry.path(), ec);
            if (!ec && target.string().rfind(agent.root(), 0) == 0 &&
                ::stat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
                ++held;
        }
        return held;
    }
    // Descriptors the agent has open.
    int filesOpen() const {
        int open = 0;
        std::error_code ec;
        for ([[maybe_unused]] const auto& entry :
             fs::directory_iterator("/proc/" + std::to_string(agent.pid()) + "/fd", ec))
            ++open;
        return open;
    }
    std::vector<std::string> listingNames(const std::string& path) {
        std::vector<std::string> names;
        const auto entries = client.result("list_dir", {{"path", path}});
        for (const auto& e : entries.as_array())
            names.emplace_back(e.at("name").as_string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Waits (a bounded while) for the agent to let go of its upload files.
    int filesHeldAfterSettling() const {
        for (int i = 0; i < 250 && filesHeld() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return filesHeld();
    }
};

TEST_F(HostileCard, NewEntriesNeverCarrySetIdBits) {
    fs::create_directory(at("/shared"));
    ::chmod(at("/shared").c_str(), 02775);
    writeText(at("/tool"), "#!/bin/sh\n");
    writeText(at("/group-tool"), "#!/bin/sh\n");
    fs::create_directory(at("/setgid-dir"));
    writeText(at("/setgid-dir/inside"), "x");
    writeText(at("/installed"), "old");
    writeText(at("/private"), "old");
    ::chmod(at("/tool").c_str(), 04755);
    ::chmod(at("/group-tool").c_str(), 02750);
    ::chmod(at("/setgid-dir").c_str(), 02775);
    ::chmod(at("/installed").c_str(), 06755);
    ::chmod(at("/private").c_str(), 04700);
    ASSERT_TRUE(modeOf(at("/tool")) & S_ISUID) << "the filesystem keeps no set-ID bits";

    client.result("copy_file", {{"path", "/tool"}, {"dest_path", "/tool copy"}});
    client.result("copy_file", {{"path", "/group-tool"}, {"dest_path", "/group-tool copy"}});
    client.result("copy_file", {{"path", "/setgid-dir"}, {"dest_path", "/dir copy"}});
    client.result("copy_file", {{"path", "/tool"}, {"dest_path", "/shared/tool"}});
    client.result("write_file", {{"path", "/installed"}, {"data_b64", base64("new")}});
    upload("/private", "ne", "w");
    client.result("create_directory", {{"path", "/shared/sub"}});
    client.result("copy_file", {{"path", "/setgid-dir"}, {"dest_path", "/shared/dir copy"}});

    const struct {
        const char* path;
        mode_t mode;  // permission bits expected, set-ID bits included
        bool directory;
    } expected[] = {
        {"/tool copy", 0755, false},      {"/group-tool copy", 0750, false},
        {"/dir copy", 0775, true},        {"/dir copy/inside", 0644, false},
        {"/shared/tool", 0755, false},    {"/installed", 0755, false},
        {"/private", 0700, false},        {"/shared/sub", 0755, true},
        {"/shared/dir copy", 0775, true},
    };
    for (const auto& e : expected) {
        const mode_t mode = modeOf(at(e.path));
        EXPECT_EQ(mode & 07777, e.mode) << e.path << " has mode " << std::oct << (mode & 07777);
        EXPECT_EQ(S_ISDIR(mode), e.directory) << e.path;
    }
    EXPECT_EQ(readText(at("/installed")), "new");
    EXPECT_EQ(readText(at("/private")), "new");
    EXPECT_EQ(modeOf(at("/tool")) & 07777, 04755u) << "the source keeps its mode";
}

TEST_F(HostileCard, EntriesPlantedAtTemporaryNamesAreNeverOpened) {
    writeText(at("/victim.txt"), "victim");
    fs::create_directory(at("/sub"));
    // Whatever an earlier agent would have opened for these uploads, and names in its style.
    const struct {
        std::string name;
        char kind;  // 'l' hard link to the victim, 'p' FIFO, 's' symlink to the victim
    } planted[] = {
        {predictableUploadName("a.bin"), 'l'},
        {predictableUploadName("b.bin"), 'p'},
        {predictableUploadName("c.bin"), 's'},
        {".quorvale-tmp-w" + std::to_string(agent.pid()) + "-0", 'l'},
        {".quorvale-tmp-w" + std::to_string(agent.pid()) + "-1", 'p'},
        {".quorvale-tmp-w" + std::to_string(agent.pid()) + "-2", 's'},
    };
    for (const std::string dir : {"", "/sub"}) {
        for (const auto& p : planted) {
            const auto path = at(dir + "/" + p.name);
            if (p.kind == 'l')
                ASSERT_EQ(::link(at("/victim.txt").c_str(), path.c_str()), 0);
            else if (p.kind == 'p')
                ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
            else
                ASSERT_EQ(::symlink(at("/victim.txt").c_str(), path.c_str()), 0);
        }
    }

    for (const std::string dir : {"", "/sub"}) {
        for (const char* leaf : {"a.bin", "b.bin", "c.bin"}) {
            const auto path = dir + "/" + leaf;
            upload(path, "chunked ", leaf);
            EXPECT_EQ(readText(at(path)), std::string("chunked ") + leaf);
            client.result("write_file", {{"path", path}, {"data_b64", base64("whole")}});
            EXPECT_EQ(readText(at(path)), "whole");
        }
    }
    EXPECT_EQ(readText(at("/victim.txt")), "victim");
    for (const std::string dir : {"", "/sub"}) {
        for (const auto& p : planted) {
            const mode_t mode = modeOf(at(dir + "/" + p.name));
            const bool sameKind = p.kind == 'l'   ? S_ISREG(mode)
                                  : p.kind == 'p' ? S_ISFIFO(mode)
                                                  : S_ISLNK(mode);
            EXPECT_TRUE(sameKind) << dir << "/" << p.name << " was replaced";
        }
    }
    // Listings still hide the reserved names.
    const auto listing = client.result("list_dir", {{"path", "/sub"}});
    EXPECT_EQ(listing.as_array().size(), 3u) << json::serialize(listing);
}

TEST_F(HostileCard, UnfinishedUploadsLeaveNothingBehind) {
    const std::string megabyte(1 << 20, 'u');
    const struct {
        const char* name;
        void (*end)(HostileCard&, AgentClient&);
    } endings[] = {
        {"aborted",
         [](HostileCard&, AgentClient& c) {
             EXPECT_EQ(c.result("abort_upload", {{"path", "/movie.mkv"}}), json::value(true));
             EXPECT_EQ(c.result("abort_upload", {{"path", "/movie.mkv"}}), json::value(false));
         }},
        {"restarted",
         [](HostileCard& t, AgentClient& c) {
             EXPECT_TRUE(t.chunk(c, "/movie.mkv", "again", 0, true).as_object().contains("result"));
         }},
        {"disconnected", [](HostileCard&, AgentClient& c) { c.close(); }},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        fs::remove(at("/movie.mkv"));
        AgentClient c = agent.connect();
        EXPECT_TRUE(chunk(c, "/movie.mkv", megabyte, 0, false).as_object().contains("result"));
        EXPECT_TRUE(
            chunk(c, "/movie.mkv", megabyte, 1 << 20, false).as_object().contains("result"));
        EXPECT_EQ(filesHeld(), 1);
        ending.end(*this, c);
        EXPECT_EQ(filesHeldAfterSettling(), 0);
        std::size_t onDisk = 0;
        for (const auto& entry : fs::directory_iterator(agent.root())) {
            EXPECT_EQ(entry.path().filename(), "movie.mkv");
            ++onDisk;
        }
        EXPECT_EQ(onDisk, std::string(ending.name) == "restarted" ? 1u : 0u);
    }
    // A chunk after the end of its upload is refused.
    EXPECT_EQ(chunk(client, "/movie.mkv", "x", 5, true).at("error").at("code"),
              json::value(-EINVAL));
}

// Removing 30,000 directories from a disk takes minutes on a busy machine: memory will do.
class DeepTree : public HostileCard {
public:
    DeepTree() : HostileCard(inMemory()) {}
    static AgentOptions inMemory() {
        AgentOptions options;
        options.base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return options;
    }
};

TEST_F(DeepTree, TenThousandLevelsWorkForUsageCopyAndDelete) {
    constexpr int levels = 10'000;
    const auto bytes = makeDeepTree(at("/deep"), levels);
    writeText(at("/small.txt"), "abc");

    const auto usage = client.result("dir_usage", {{"path", "/"}});
    ASSERT_TRUE(usage.is_array()) << json::serialize(usage).substr(0, 300);
    std::map<std::string, std::int64_t> sizes;
    for (const auto& e : usage.as_array())
        sizes[std::string(e.at("name").as_string())] = e.at("size").as_int64();
    EXPECT_EQ(sizes, (std::map<std::string, std::int64_t>{
                         {"deep", static_cast<std::int64_t>(bytes)}, {"small.txt", 3}}));

    client.result("copy_file", {{"path", "/deep"}, {"dest_path", "/deep copy"}});
    EXPECT_EQ(deepTreeShape(at("/deep copy")), std::make_pair(levels, std::string("01234")));
    EXPECT_EQ(deepTreeShape(at("/deep")), std::make_pair(levels, std::string("01234")));
    EXPECT_EQ(
        client.error("copy_file", {{"path", "/deep"}, {"dest_path", "/deep/d/d/in"}}).at("code"),
        json::value(-EINVAL))
        << "copying a tree into itself";
    client.result("copy_file", {{"path", "/deep copy/d"}, {"dest_path", "/x"}});
    EXPECT_EQ(deepTreeShape(at("/x")), std::make_pair(levels - 1, std::string("01234")));

    for (const char* tree : {"/deep", "/deep copy", "/x"})
        client.result("delete", {{"path", tree}});
    EXPECT_EQ(listingNames("/"), std::vector<std::string>{"small.txt"});
    EXPECT_LT(filesOpen(), 20) << "descriptors stay bounded";
}

TEST(LeftoverTemporaries, AreRemovedWhenThePartitionIsServedAgain) {
    // What a pulled card or an earlier agent left: regular files under temporary names, deep
    // inside the tree too, and copies cut short (whole trees). Other kinds of entries and other
    // names stay.
    const std::string copyName = ".quorvale-tmp-0123456789abcdef0123456789abcdef";
    AgentOptions options;
    options.prepare = [&copyName](const std::string& root) {
        std::filesystem::create_directories(root + "/a/b");
        std::filesystem::create_directories(root + "/a/" + copyName + "/x/y");
        writeText(root + "/a/" + copyName + "/x/y/part.bin", "part");
        std::filesystem::create_directories(root + "/a/.quorvale-tmp-notes/sub");
        ::symlink("keep.txt", (root + "/" + copyName).c_str());
        writeText(root + "/keep.txt", "keep");
        writeText(root + "/.quorvale-tmp-u0123456789abcdef", std::string(4096, 'x'));
        writeText(root + "/a/b/.quorvale-tmp-w12-3", "half");
        ::mkfifo((root + "/a/.quorvale-tmp-fifo").c_str(), 0644);
        writeText(root + "/a/.quorvale-tmpX", "not ours");
        writeText(root + "/a/.quorvale-tmp-notes.txt", "a user's");
    };
    AgentProcess agent(std::move(options));
    for (const std::string& gone : std::vector<std::string>{
             "/.quorvale-tmp-u0123456789abcdef", "/a/b/.quorvale-tmp-w12-3", "/a/" + copyName})
        EXPECT_FALSE(exists(agent.root() + gone)) << gone;
    for (const std::string& kept : std::vector<std::string>{
             "/keep.txt", "/a/.quorvale-tmp-fifo", "/a/.quorvale-tmpX",
             "/a/.quorvale-tmp-notes.txt", "/a/.quorvale-tmp-notes/sub", "/" + copyName})
        EXPECT_TRUE(exists(agent.root() + kept)) << kept;
}

}  // namespace
}  // namespace quorvale::agent::test
