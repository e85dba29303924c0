// Transcripts of the "fs_*" methods a host mount uses: open handles with reads and writes at
// any offset, attributes, directory pages, the three kinds of rename, links, and the
// containment every one of them keeps.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <filesystem>
#include <set>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

class AgentPosix : public ::testing::Test {
protected:
    AgentProcess agent;
    AgentClient client = agent.connect();

    std::string at(const std::string& path) const { return agent.root() + path; }
    std::int64_t errorCode(std::string_view method, json::object params) {
        const auto error = client.error(method, std::move(params));
        return error.contains("code") ? error.at("code").as_int64() : 0;
    }
    std::int64_t open(const std::string& path, const char* access, json::object more = {}) {
        more["path"] = path;
        more["access"] = access;
        return client.result("fs_open", std::move(more)).at("handle").as_int64();
    }
    std::string read(std::int64_t handle, std::int64_t offset, std::int64_t size) {
        return unbase64(
            client.result("fs_read", {{"handle", handle}, {"offset", offset}, {"size", size}}));
    }
};

TEST_F(AgentPosix, HandlesReadAndWriteAtAnyOffsetAndTruncate) {
    writeText(at("/f.txt"), "0123456789");
    const auto h = open("/f.txt", "readwrite");
    EXPECT_EQ(read(h, 3, 4), "3456");
    EXPECT_EQ(read(h, 8, 100), "89");
    EXPECT_EQ(read(h, 50, 10), "");
    EXPECT_EQ(client.result("fs_write", {{"handle", h}, {"offset", 4}, {"data_b64", base64("ab")}}),
              json::value(2));
    // Past the end: the gap reads as zeros.
    client.result("fs_write", {{"handle", h}, {"offset", 12}, {"data_b64", base64("Z")}});
    EXPECT_EQ(readText(at("/f.txt")), std::string("0123ab6789\0\0Z", 13));
    const auto attr = client.result("fs_setattr", {{"handle", h}, {"size", 3}});
    EXPECT_EQ(attr.at("size"), json::value(3));
    EXPECT_EQ(readText(at("/f.txt")), "012");
    client.result("fs_fsync", {{"handle", h}, {"data_only", true}});
    // Still readable once its name is gone; closed at release.
    client.result("fs_unlink", {{"path", "/f.txt"}});
    EXPECT_EQ(read(h, 0, 10), "012");
    EXPECT_EQ(client.result("fs_release", {{"handle", h}}), json::value(true));
    EXPECT_EQ(errorCode("fs_read", {{"handle", h}, {"offset", 0}, {"size", 1}}), -EBADF);
}

TEST_F(AgentPosix, AHandleBelongsToItsConnectionUntilAnUnmount) {
    writeText(at("/f.txt"), "x");
    const auto h = open("/f.txt", "read");
    auto other = agent.connect();
    EXPECT_EQ(other.error("fs_read", {{"handle", h}, {"size", 1}}).at("code"), json::value(-EBADF));
    EXPECT_EQ(other.result("fs_release", {{"handle", h}}), json::value(false));
    EXPECT_EQ(read(h, 0, 1), "x");
    client.result("unmount", {});
    EXPECT_EQ(errorCode("fs_read", {{"handle", h}, {"size", 1}}), -EBADF);
}

TEST_F(AgentPosix, CreatedEntriesKeepTheirModesWithoutSetIdBits) {
    fs::create_directory(at("/d"));
    ::chmod(at("/d").c_str(), 02775);
    const auto created = client.result(
        "fs_open", {{"path", "/d/new"}, {"access", "write"}, {"create", true}, {"mode", 04751}});
    EXPECT_EQ(created.at("attr").at("mode").as_int64(), S_IFREG | 0751);
    EXPECT_EQ(
        errorCode("fs_open",
                  {{"path", "/d/new"}, {"access", "write"}, {"create", true}, {"exclusive", true}}),
        -EEXIST);
    const auto dir = client.result("fs_mkdir", {{"path", "/d/sub"}, {"mode", 0700}});
    EXPECT_EQ(dir.at("mode").as_int64(), S_IFDIR | 0700) << "no set-group-ID handed down";
    EXPECT_EQ(errorCode("fs_setattr", {{"path", "/d/new"}, {"mode", 04755}}), -EPERM);
    const auto changed = client.result(
        "fs_setattr", {{"path", "/d/new"}, {"mode", 01600}, {"mtime", 1500000000123456789}});
    EXPECT_EQ(changed.at("mode").as_int64(), S_IFREG | 01600);
    EXPECT_EQ(changed.at("mtime"), json::value(1500000000123456789));
    if (::geteuid() == 0) {
        ::chown(at("/d").c_str(), 4321, 4322);
        client.result("fs_symlink", {{"path", "/d/link"}, {"target", "../x"}});
        struct stat st {};
        ASSERT_EQ(::lstat(at("/d/link").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4321u) << "a new entry takes its folder's owner";
        EXPECT_EQ(st.st_gid, 4322u);
    }
}

TEST_F(AgentPosix, RenameReplacesRefusesOrExchanges) {
    writeText(at("/a"), "A");
    writeText(at("/b"), "B");
    fs::create_directories(at("/full/x"));
    EXPECT_EQ(errorCode("fs_rename", {{"path", "/a"}, {"dest_path", "/b"}, {"mode", "noreplace"}}),
              -EEXIST);
    client.result("fs_rename", {{"path", "/a"}, {"dest_path", "/b"}, {"mode", "exchange"}});
    EXPECT_EQ(readText(at("/a")), "B");
    EXPECT_EQ(readText(at("/b")), "A");
    client.result("fs_rename", {{"path", "/a"}, {"dest_path", "/b"}});
    EXPECT_EQ(readText(at("/b")), "B");
    EXPECT_FALSE(exists(at("/a")));
    EXPECT_EQ(errorCode("fs_rename", {{"path", "/b"}, {"dest_path", "/full"}}), -EISDIR);
    EXPECT_EQ(errorCode("fs_rmdir", {{"path", "/full"}}), -ENOTEMPTY);
    EXPECT_EQ(errorCode("fs_rename", {{"path", "/full"}, {"dest_path", "/full/x/in"}}), -EINVAL);
    client.result("fs_link", {{"path", "/b"}, {"dest_path", "/full/x/hard"}});
    EXPECT_EQ(client.result("fs_stat", {{"path", "/b"}}).at("nlink"), json::value(2));
}

TEST_F(AgentPosix, DirectoryPagesContinueFromTheirCookies) {
    fs::create_directory(at("/many"));
    std::set<std::string> made;
    for (int i = 0; i < 300; ++i) {
        made.insert("f" + std::to_string(i));
        writeText(at("/many/f" + std::to_string(i)), "");
    }
    writeText(at("/many/.quorvale-tmp-0123456789abcdef0123456789abcdef"), "hidden");
    std::set<std::string> seen;
    std::int64_t offset = 0;
    int pages = 0;
    for (bool done = false; !done && pages < 100; ++pages) {
        const auto page = client.result(
            "fs_readdir", {{"path", "/many"}, {"offset", offset}, {"max_entries", 64}});
        for (const auto& entry : page.at("entries").as_array()) {
            EXPECT_TRUE(seen.insert(std::string(entry.at("name").as_string())).second);
            EXPECT_EQ(entry.at("attr").at("mode").as_int64() & S_IFMT, S_IFREG);
            offset = entry.at("next").as_int64();
        }
        done = page.at("done").as_bool();
    }
    EXPECT_EQ(seen, made);
    EXPECT_GE(pages, 5);
}

TEST_F(AgentPosix, NoSymlinkOrSpecialFileLeadsOutside) {
    const std::string outside = agent.workDir() + "/outside.txt";
    writeText(outside, "host secret");
    fs::create_directory_symlink(agent.workDir(), at("/out"));
    fs::create_symlink(outside, at("/abs"));
    fs::create_directory(at("/real"));
    fs::create_directory_symlink("real", at("/inner"));
    ::mkfifo(at("/fifo").c_str(), 0644);
    struct Case {
        const char* method;
        json::object params;
        std::int64_t code;
    };
    const Case cases[] = {
        {"fs_open", {{"path", "/out/outside.txt"}, {"access", "read"}}, -ELOOP},
        {"fs_open", {{"path", "/abs"}, {"access", "write"}}, -ELOOP},
        {"fs_open", {{"path", "/fifo"}, {"access", "read"}}, -EINVAL},
        {"fs_stat", {{"path", "/inner/x"}}, -ELOOP},
        {"fs_mkdir", {{"path", "/out/made"}}, -ELOOP},
        {"fs_setattr", {{"path", "/out/outside.txt"}, {"size", 0}}, -ELOOP},
        {"fs_unlink", {{"path", "/out/outside.txt"}}, -ELOOP},
        {"fs_rename", {{"path", "/out/outside.txt"}, {"dest_path", "/stolen"}}, -ELOOP},
        {"fs_link", {{"path", "/out/outside.txt"}, {"dest_path", "/stolen"}}, -ELOOP},
        {"fs_readdir", {{"path", "/out"}}, -ELOOP},
        {"fs_open", {{"path", "/../outside.txt"}, {"access", "read"}}, -32602},
        {"fs_stat", {{"path", "/.quorvale-tmp-0123456789abcdef0123456789abcdef"}}, -ENOENT},
        {"fs_mkdir", {{"path", "/.quorvale-tmp-0123456789abcdef0123456789abcdef"}}, -EACCES},
        {"fs_rmdir", {{"path", "/"}}, -32602},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorCode(c.method, c.params), c.code) << c.method << json::serialize(c.params);
    // A link's own attributes and target, never its target's.
    const auto link = client.result("fs_stat", {{"path", "/abs"}});
    EXPECT_EQ(link.at("mode").as_int64() & S_IFMT, S_IFLNK);
    EXPECT_EQ(client.result("fs_readlink", {{"path", "/abs"}}), json::value(outside));
    client.result("fs_setattr", {{"path", "/abs"}, {"mtime", 1000000000}});
    client.result("fs_unlink", {{"path", "/abs"}});
    EXPECT_EQ(readText(outside), "host secret");
    const auto statfs = client.result("fs_statfs", {});
    EXPECT_GT(statfs.at("blocks").as_int64(), 0);
}

}  // namespace
}  // namespace quorvale::agent::test
