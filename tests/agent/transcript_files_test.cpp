// Transcripts of the file methods against a real directory, checked on disk afterwards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <barrier>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

class AgentFiles : public ::testing::Test {
protected:
    AgentProcess agent;
    AgentClient client = agent.connect();

    std::string at(const std::string& path) const { return agent.root() + path; }
    std::map<std::string, json::object> listing(const std::string& path) {
        std::map<std::string, json::object> byName;
        const auto entries = client.result("list_dir", {{"path", path}});
        EXPECT_TRUE(entries.is_array());
        if (!entries.is_array())
            return byName;
        for (const auto& e : entries.as_array())
            byName[std::string(e.at("name").as_string())] = e.as_object();
        return byName;
    }
    std::int64_t errorCode(std::string_view method, json::object params) {
        const auto error = client.error(method, std::move(params));
        return error.contains("code") ? error.at("code").as_int64() : 0;
    }
};

TEST_F(AgentFiles, ListDirReportsEveryEntryMember) {
    const auto uid = std::to_string(::getuid());
    const auto gid = std::to_string(::getgid());
    fs::create_directories(at("/etc"));
    writeText(at("/etc/passwd"), "other:x:99999:1::/:/bin/sh\nbroken line\npi:x:" + uid + ":" +
                                     gid + "::/home/pi:/bin/sh\n");
    writeText(at("/etc/group"), "pi:x:" + gid + ":\n");
    fs::create_directories(at("/docs/sub"));
    writeText(at("/docs/notes.txt"), "12345");
    ::chmod(at("/docs/notes.txt").c_str(), 0640);
    ::symlink("notes.txt", at("/docs/link").c_str());
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 500000000}};
    ::utimensat(AT_FDCWD, at("/docs/notes.txt").c_str(), times, 0);

    auto entries = listing("/docs");
    ASSERT_EQ(entries.size(), 3u);
    const auto& file = entries["notes.txt"];
    EXPECT_EQ(file.at("size"), json::value(5));
    EXPECT_EQ(file.at("is_directory"), json::value(false));
    EXPECT_EQ(file.at("permissions"), json::value(0100640));
    EXPECT_EQ(file.at("owner"), json::value("pi"));
    EXPECT_EQ(file.at("group"), json::value("pi"));
    EXPECT_DOUBLE_EQ(file.at("mtime").to_number<double>(), 1700000000.5);
    EXPECT_EQ(file.at("is_symlink"), json::value(false));
    EXPECT_FALSE(file.contains("symlink_target"));

    const auto& dir = entries["sub"];
    EXPECT_EQ(dir.at("is_directory"), json::value(true));
    EXPECT_EQ(dir.at("permissions").as_int64() & 0170000, 040000);

    const auto& link = entries["link"];
    EXPECT_EQ(link.at("is_symlink"), json::value(true));
    EXPECT_EQ(link.at("is_directory"), json::value(false));
    EXPECT_EQ(link.at("symlink_target"), json::value("notes.txt"));

    // Account names follow edits of the tree's own files; an id without a name is a number.
    writeText(at("/etc/passwd"), "other:x:99999:1::/:/bin/sh\n");
    EXPECT_EQ(listing("/docs")["sub"].at("owner"), json::value(uid));
    writeText(at("/etc/passwd"), "alice:x:" + uid + ":1::/:/bin/sh\n");
    EXPECT_EQ(listing("/docs")["sub"].at("owner"), json::value("alice"));
}

TEST_F(AgentFiles, ListDirOfMissingOrNonDirectoryPaths) {
    writeText(at("/file.txt"), "x");
    auto error = client.error("list_dir", {{"path", "/docs/x"}});
    EXPECT_EQ(error.at("code"), json::value(-ENOENT));
    EXPECT_EQ(error.at("message"), json::value("No such file or directory: /docs/x"));
    EXPECT_EQ(errorCode("list_dir", {{"path", "/file.txt"}}), -ENOTDIR);
    EXPECT_EQ(listing("/").size(), 1u);
    EXPECT_EQ(listing("//").size(), 1u) << "a doubled slash names the same directory";
}

TEST_F(AgentFiles, EveryListedNameReachesExactlyItsOwnEntry) {
    // Bytes on the disk that are not UTF-8, beside the valid names a lossy mapping would confuse
    // them with, and a name holding one of the escape characters itself.
    const std::vector<std::string> onDisk = {"caf\xe9",  "caf\xef\xbf\xbd", "caf\xc3\xa9",
                                             "\xff\xfe", "\xef\x9f\xa9",    "new\nline"};
    fs::create_directory(at("/d"));
    for (std::size_t i = 0; i < onDisk.size(); ++i)
        writeText(at("/d/" + onDisk[i]), "content " + std::to_string(i));
    fs::create_directory(at("/d/dir\xe9"));
    writeText(at("/d/dir\xe9/inner"), "inner");

    const auto entries = listing("/d");
    ASSERT_EQ(entries.size(), onDisk.size() + 1) << "distinct names stay distinct";
    std::map<std::string, std::string> contentByName;
    for (const auto& [name, entry] : entries) {
        if (entry.at("is_directory").as_bool())
            continue;
        // Preview and export read through the name exactly as listed.
        contentByName[name] =
            unbase64(client.result("read_file", {{"path", "/d/" + name}, {"max_bytes", 100}}));
    }
    std::set<std::string> contents;
    for (const auto& [name, content] : contentByName)
        contents.insert(content);
    EXPECT_EQ(contents.size(), onDisk.size()) << "each name read its own file";

    // Duplicate, rename and delete each by its listed name; the others are left alone.
    std::size_t i = 0;
    for (const auto& [name, entry] : entries) {
        const std::string path = "/d/" + name;
        if (entry.at("is_directory").as_bool()) {
            EXPECT_EQ(listing(path).size(), 1u) << "a directory with such a name lists";
            continue;
        }
        client.result("copy_file", {{"path", path}, {"dest_path", path + " copy"}});
        const auto renamed =
            client.result("rename", {{"path", path + " copy"}, {"new_name", name + " 2"}});
        EXPECT_EQ(renamed.at("new_path"), json::value(path + " 2"));
        EXPECT_EQ(unbase64(client.result("read_file", {{"path", path + " 2"}, {"max_bytes", 100}})),
                  contentByName[name]);
        client.result("delete", {{"path", path}});
        ++i;
    }
    EXPECT_EQ(i, onDisk.size());
    for (std::size_t k = 0; k < onDisk.size(); ++k) {
        EXPECT_FALSE(exists(at("/d/" + onDisk[k]))) << k;
        EXPECT_EQ(readText(at("/d/" + onDisk[k] + " 2")), "content " + std::to_string(k)) << k;
    }
    const auto usage = client.result("dir_usage", {{"path", "/d"}});
    EXPECT_EQ(usage.as_array().size(), onDisk.size() + 1);
    EXPECT_EQ(readText(at("/d/dir\xe9/inner")), "inner");
}

TEST_F(AgentFiles, ReadFileHonoursMaxBytesAndOffset) {
    writeText(at("/data.bin"), "0123456789");
    EXPECT_EQ(unbase64(client.result("read_file", {{"path", "/data.bin"}, {"max_bytes", 100}})),
              "0123456789");
    EXPECT_EQ(unbase64(client.result("read_file", {{"path", "/data.bin"}, {"max_bytes", 4}})),
              "0123");
    EXPECT_EQ(unbase64(client.result("read_file",
                                     {{"path", "/data.bin"}, {"max_bytes", 4}, {"offset", 8}})),
              "89");
    EXPECT_EQ(client.result("read_file", {{"path", "/data.bin"}, {"max_bytes", 4}, {"offset", 10}}),
              json::value(""));
    EXPECT_EQ(client.result("read_file", {{"path", "/data.bin"}, {"max_bytes", 0}}),
              json::value(""));

    const auto past =
        client.error("read_file", {{"path", "/data.bin"}, {"max_bytes", 4}, {"offset", 11}});
    EXPECT_EQ(past.at("code"), json::value(-EINVAL));
    EXPECT_NE(std::string(past.at("message").as_string()).find("past the end"), std::string::npos);

    fs::create_directory(at("/dir"));
    EXPECT_EQ(errorCode("read_file", {{"path", "/dir"}, {"max_bytes", 4}}), -EISDIR);
    ::mkfifo(at("/pipe").c_str(), 0644);
    EXPECT_EQ(errorCode("read_file", {{"path", "/pipe"}, {"max_bytes", 4}}), -EINVAL)
        << "a FIFO must be refused, not block the call";
}

TEST_F(AgentFiles, HugeMaxBytesIsCapped) {
    {
        std::ofstream big(at("/big.bin"), std::ios::binary);
        big.seekp((std::streamoff{17} << 20) - 1);
        big.put('z');
    }
    const auto data = unbase64(
        client.result("read_file", {{"path", "/big.bin"}, {"max_bytes", std::int64_t{1} << 62}}));
    EXPECT_EQ(data.size(), std::size_t{16} << 20);
    // The rest comes with an offset.
    const auto rest = unbase64(client.result(
        "read_file",
        {{"path", "/big.bin"}, {"max_bytes", 500000000}, {"offset", std::int64_t{16} << 20}}));
    ASSERT_EQ(rest.size(), std::size_t{1} << 20);
    EXPECT_EQ(rest.back(), 'z');
}

TEST_F(AgentFiles, WriteFileCreatesAndReplacesWhole) {
    EXPECT_EQ(client.result("write_file", {{"path", "/new.txt"}, {"data_b64", base64("first")}}),
              json::value(true));
    EXPECT_EQ(readText(at("/new.txt")), "first");
    ::chmod(at("/new.txt").c_str(), 0600);
    client.result("write_file", {{"path", "/new.txt"}, {"data_b64", base64("second, longer")}});
    EXPECT_EQ(readText(at("/new.txt")), "second, longer");
    struct stat st {};
    ::stat(at("/new.txt").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a replaced file keeps its permissions";
    client.result("write_file", {{"path", "/empty"}, {"data_b64", ""}});
    EXPECT_TRUE(exists(at("/empty")));
    EXPECT_EQ(readText(at("/empty")), "");

    EXPECT_EQ(errorCode("write_file", {{"path", "/missing/x.txt"}, {"data_b64", "aGk="}}), -ENOENT);
    fs::create_directory(at("/dir"));
    EXPECT_EQ(errorCode("write_file", {{"path", "/dir"}, {"data_b64", "aGk="}}), -EISDIR);
    EXPECT_TRUE(fs::is_directory(at("/dir")));
    EXPECT_EQ(errorCode("write_file", {{"path", "/new.txt"}, {"data_b64", "!!!"}}), -32602);
    EXPECT_EQ(readText(at("/new.txt")), "second, longer");
    EXPECT_EQ(listing("/").size(), 3u) << "no temporary file left behind";
}

TEST_F(AgentFiles, ChunkedWritePublishesOnlyOnTheFinalChunk) {
    writeText(at("/doc.txt"), "old contents");
    const auto chunk = [&](std::string_view data, std::int64_t offset, bool final) {
        return client.call("write_file", {{"path", "/doc.txt"},
                                          {"data_b64", base64(data)},
                                          {"offset", offset},
                                          {"final", final}});
    };
    EXPECT_TRUE(chunk("new ", 0, false).as_object().contains("result"));
    EXPECT_TRUE(chunk("contents ", 4, false).as_object().contains("result"));
    EXPECT_EQ(readText(at("/doc.txt")), "old contents");
    const auto names = listing("/");
    EXPECT_EQ(names.size(), 1u) << "the upload's temporary file must not show";

    // A chunk starts exactly where the bytes uploaded so far end (13): one that overlaps them,
    // even by a byte or as the last chunk sent again, or leaves a gap is refused unwritten.
    const struct {
        const char* what;
        std::string_view data;
        std::int64_t offset;
    } misplaced[] = {
        {"overlap by one byte", "X contents", 12},
        {"the last chunk again", "contents ", 4},
        {"a gap of one byte", "xx", 14},
    };
    for (const auto& m : misplaced) {
        SCOPED_TRACE(m.what);
        EXPECT_EQ(errorCode("write_file", {{"path", "/doc.txt"},
                                           {"data_b64", base64(m.data)},
                                           {"offset", m.offset},
                                           {"final", false}}),
                  -EINVAL);
    }
    EXPECT_TRUE(chunk("here", 13, true).as_object().contains("result"));
    EXPECT_EQ(readText(at("/doc.txt")), "new contents here");
    EXPECT_EQ(listing("/").size(), 1u);

    // A later chunk without a started upload is refused; offset 0 restarts an upload.
    EXPECT_EQ(chunk("zz", 5, true).at("error").at("code"), json::value(-EINVAL));
    chunk("abandoned", 0, false);
    chunk("fresh", 0, true);
    EXPECT_EQ(readText(at("/doc.txt")), "fresh");

    // Chunks sent together may reach their writes in any order: a chunk waits for the one it
    // follows, so the final chunk sent first still lands last.
    chunk("one ", 0, false);
    const auto line = [&](std::string_view data, std::int64_t offset, bool final) {
        return json::serialize(json::object{{"jsonrpc", "2.0"},
                                            {"id", client.nextId()},
                                            {"method", "write_file"},
                                            {"params",
                                             {{"path", "/doc.txt"},
                                              {"data_b64", base64(data)},
                                              {"offset", offset},
                                              {"final", final}}}});
    };
    client.sendLine(line("three", 8, true));
    client.sendLine(line("two ", 4, false));
    for (int reply = 0; reply < 2; ++reply)
        EXPECT_TRUE(client.readReply().as_object().contains("result"));
    EXPECT_EQ(readText(at("/doc.txt")), "one two three");
    std::size_t onDisk = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(agent.root()))
        ++onDisk;
    EXPECT_EQ(onDisk, 1u) << "the published upload leaves no temporary file";
}

// Each file of a batch succeeds or fails alone; a failed one leaves what was there.
TEST_F(AgentFiles, WriteFilesAnswersPerFile) {
    writeText(at("/kept.txt"), "old");
    writeText(at("/over.txt"), "old");
    fs::create_directory(at("/dir"));
    const auto item = [](const std::string& path, std::string_view data) {
        return json::object{{"path", path}, {"data_b64", base64(data)}, {"replace", false}};
    };
    json::array files{item("/a.txt", "alpha"), item("/kept.txt", "new"),
                      item("/missing/b.txt", "beta"), item("/dir", "x")};
    json::object withAttributes = item("/dir/c.sh", "#!/bin/sh\n");
    withAttributes["mode"] = 04750;
    withAttributes["mtime_ns"] = std::int64_t{1600000000123456789};
    files.push_back(withAttributes);
    json::object replacing = item("/over.txt", "new");
    replacing["replace"] = true;
    files.push_back(replacing);
    json::object bad = item("/bad.txt", "");
    bad["data_b64"] = "!!!";
    files.push_back(bad);
    json::object chunk = item("/chunk.txt", "c");
    chunk["offset"] = 0;
    files.push_back(chunk);

    const auto results = client.result("write_files", {{"files", files}});
    ASSERT_TRUE(results.is_array());
    ASSERT_EQ(results.as_array().size(), files.size());
    const auto code = [&](std::size_t i) {
        const auto& r = results.as_array()[i];
        return r.is_object() ? r.at("code").as_int64() : 0;
    };
    EXPECT_EQ(results.as_array()[0], json::value(true));
    EXPECT_EQ(code(1), -EEXIST);
    EXPECT_EQ(code(2), -ENOENT);
    EXPECT_EQ(code(3), -EEXIST);
    EXPECT_EQ(results.as_array()[4], json::value(true));
    EXPECT_EQ(results.as_array()[5], json::value(true));
    EXPECT_EQ(code(6), -32602);
    EXPECT_EQ(code(7), -32602) << "a batch holds whole files only";

    EXPECT_EQ(readText(at("/a.txt")), "alpha");
    EXPECT_EQ(readText(at("/kept.txt")), "old");
    EXPECT_EQ(readText(at("/over.txt")), "new");
    EXPECT_TRUE(fs::is_directory(at("/dir")));
    struct stat st {};
    ASSERT_EQ(::stat(at("/dir/c.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u) << "set-user-ID dropped";
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_FALSE(exists(at("/bad.txt")));
    EXPECT_FALSE(exists(at("/chunk.txt")));
    EXPECT_EQ(listing("/").size(), 4u) << "no temporary file left behind";
    EXPECT_EQ(listing("/dir").size(), 1u);

    // The list itself is checked before anything is written.
    EXPECT_EQ(errorCode("write_files", {{"files", "x"}}), -32602);
    EXPECT_EQ(errorCode("write_files", {{"files", json::array{1}}}), -32602);
    json::array tooMany;
    for (int i = 0; i < 257; ++i)
        tooMany.push_back(item("/many" + std::to_string(i), "m"));
    EXPECT_EQ(errorCode("write_files", {{"files", tooMany}}), -32602);
    EXPECT_FALSE(exists(at("/many0")));
}

// Two sessions creating one new name without replace, at the same moment: the name goes to
// exactly one of them, with its bytes, and the other is told that it exists.
TEST_F(AgentFiles, RacingWritesWithoutReplaceLeaveOneWinner) {
    AgentClient other = agent.connect();
    AgentClient* clients[2] = {&client, &other};
    const std::string contents[2] = {std::string(256 << 10, 'a'), std::string(256 << 10, 'b')};
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string path = "/race" + std::to_string(round);
        json::value replies[2];
        std::barrier start(2);
        std::thread writers[2];
        for (int i = 0; i < 2; ++i) {
            writers[i] = std::thread([&, i] {
                json::object params{
                    {"path", path}, {"data_b64", base64(contents[i])}, {"replace", false}};
                start.arrive_and_wait();
                replies[i] = clients[i]->call("write_file", std::move(params));
            });
        }
        for (auto& writer : writers)
            writer.join();
        const bool firstWon = replies[0].as_object().contains("result");
        ASSERT_NE(firstWon, replies[1].as_object().contains("result"));
        EXPECT_EQ(replies[firstWon ? 1 : 0].at("error").at("code"), json::value(-EEXIST));
        EXPECT_EQ(readText(at(path)), contents[firstWon ? 0 : 1]);
    }
}

TEST_F(AgentFiles, RenameNeverOverwrites) {
    fs::create_directory(at("/docs"));
    writeText(at("/docs/a.txt"), "a");
    writeText(at("/docs/b.txt"), "b");
    const auto result = client.result("rename", {{"path", "/docs/a.txt"}, {"new_name", "c.txt"}});
    EXPECT_EQ(result.at("new_path"), json::value("/docs/c.txt"));
    EXPECT_FALSE(exists(at("/docs/a.txt")));
    EXPECT_EQ(readText(at("/docs/c.txt")), "a");

    const auto taken = client.error("rename", {{"path", "/docs/c.txt"}, {"new_name", "b.txt"}});
    EXPECT_EQ(taken.at("code"), json::value(-EEXIST));
    EXPECT_EQ(taken.at("message"), json::value("File exists: /docs/b.txt"));
    EXPECT_EQ(readText(at("/docs/b.txt")), "b");
    EXPECT_EQ(readText(at("/docs/c.txt")), "a");

    for (const char* bad : {"x/y", ".", "..", "", "../escaped"}) {
        EXPECT_EQ(errorCode("rename", {{"path", "/docs/c.txt"}, {"new_name", bad}}), -32602) << bad;
    }
    EXPECT_EQ(errorCode("rename", {{"path", "/"}, {"new_name", "x"}}), -32602);
    EXPECT_EQ(errorCode("rename", {{"path", "/docs/none"}, {"new_name", "x"}}), -ENOENT);
    EXPECT_EQ(listing("/docs").size(), 2u);
}

TEST_F(AgentFiles, CopyIsRecursiveAndRefusesAnExistingDestination) {
    fs::create_directories(at("/src/deep/deeper"));
    writeText(at("/src/top.txt"), "top");
    writeText(at("/src/deep/deeper/leaf.txt"), "leaf");
    ::symlink("../top.txt", at("/src/deep/link").c_str());
    writeText(at("/single.txt"), "single");

    client.result("copy_file", {{"path", "/single.txt"}, {"dest_path", "/single copy.txt"}});
    EXPECT_EQ(readText(at("/single copy.txt")), "single");
    // The host agent serves one directory under every name: "dest_partition" lands there too.
    client.result("copy_file", {{"path", "/single.txt"},
                                {"dest_path", "/single other.txt"},
                                {"partition", "sdb1"},
                                {"dest_partition", "sdc1"}});
    EXPECT_EQ(readText(at("/single other.txt")), "single");

    client.result("copy_file", {{"path", "/src"}, {"dest_path", "/dst"}});
    EXPECT_EQ(readText(at("/dst/top.txt")), "top");
    EXPECT_EQ(readText(at("/dst/deep/deeper/leaf.txt")), "leaf");
    EXPECT_TRUE(fs::is_symlink(at("/dst/deep/link")));
    EXPECT_EQ(fs::read_symlink(at("/dst/deep/link")), "../top.txt");

    const auto exists =
        client.error("copy_file", {{"path", "/single.txt"}, {"dest_path", "/dst/top.txt"}});
    EXPECT_EQ(exists.at("code"), json::value(-EEXIST));
    EXPECT_EQ(readText(at("/dst/top.txt")), "top");
    EXPECT_EQ(errorCode("copy_file", {{"path", "/src"}, {"dest_path", "/dst"}}), -EEXIST);
    EXPECT_TRUE(test::exists(at("/dst/deep/deeper/leaf.txt")));

    EXPECT_EQ(errorCode("copy_file", {{"path", "/src"}, {"dest_path", "/src/deep/again"}}),
              -EINVAL);
    EXPECT_FALSE(test::exists(at("/src/deep/again")));
    EXPECT_EQ(errorCode("copy_file", {{"path", "/none"}, {"dest_path", "/other"}}), -ENOENT);
    EXPECT_FALSE(test::exists(at("/other")));
}

TEST_F(AgentFiles, ACopyThatFailsHalfwayLeavesNothingBehind) {
    // The FIFO comes after a megabyte already copied: the copy fails in the middle of the tree.
    fs::create_directories(at("/src/a"));
    writeText(at("/src/a/big.bin"), std::string(1 << 20, 'b'));
    fs::create_directories(at("/src/z"));
    ASSERT_EQ(::mkfifo(at("/src/z/pipe").c_str(), 0644), 0);
    fs::create_directories(at("/to"));
    EXPECT_EQ(errorCode("copy_file", {{"path", "/src"}, {"dest_path", "/to/copy"}}), -EINVAL);
    EXPECT_EQ(errorCode("copy_file", {{"path", "/src/z/pipe"}, {"dest_path", "/to/pipe"}}),
              -EINVAL);
    // Neither the final name nor a hidden one.
    EXPECT_TRUE(fs::is_empty(at("/to")));
}

TEST_F(AgentFiles, CreateDirectoryRefusesAnExistingEntry) {
    client.result("create_directory", {{"path", "/untitled folder"}});
    EXPECT_TRUE(fs::is_directory(at("/untitled folder")));
    const auto again = client.error("create_directory", {{"path", "/untitled folder"}});
    EXPECT_EQ(again.at("code"), json::value(-EEXIST));
    EXPECT_EQ(again.at("message"), json::value("File exists: /untitled folder"));
    EXPECT_EQ(errorCode("create_directory", {{"path", "/no/such/parent"}}), -ENOENT);
    EXPECT_EQ(errorCode("create_directory", {{"path", "/"}}), -32602);
}

TEST_F(AgentFiles, DeleteIsRecursiveAndLeavesSymlinkTargetsAlone) {
    fs::create_directories(at("/tree/a/b"));
    writeText(at("/tree/a/b/file"), "x");
    writeText(at("/keep.txt"), "keep");
    ::symlink("/keep.txt", at("/tree/link-to-keep").c_str());
    ::symlink(agent.workDir().c_str(), at("/tree/link-outside").c_str());
    writeText(agent.workDir() + "/outside.txt", "outside");
    client.result("delete", {{"path", "/tree"}});
    EXPECT_FALSE(exists(at("/tree")));
    EXPECT_EQ(readText(at("/keep.txt")), "keep");
    EXPECT_EQ(readText(agent.workDir() + "/outside.txt"), "outside");

    EXPECT_EQ(errorCode("delete", {{"path", "/tree"}}), -ENOENT);
    EXPECT_EQ(errorCode("delete", {{"path", "/"}}), -32602);
    EXPECT_TRUE(exists(at("/keep.txt")));
}

TEST_F(AgentFiles, DeleteRemovesAbandonedUploadsWithTheirFolder) {
    fs::create_directory(at("/up"));
    client.result(
        "write_file",
        {{"path", "/up/part.bin"}, {"data_b64", base64("half")}, {"offset", 0}, {"final", false}});
    client.result("delete", {{"path", "/up"}});
    EXPECT_FALSE(exists(at("/up")));
}

TEST_F(AgentFiles, DirUsageTotalsEverythingUnderADirectory) {
    fs::create_directories(at("/photos/2024/raw"));
    writeText(at("/photos/a.jpg"), std::string(1000, 'a'));
    writeText(at("/photos/2024/b.jpg"), std::string(200, 'b'));
    writeText(at("/photos/2024/raw/c.raw"), std::string(30, 'c'));
    writeText(at("/readme"), std::string(7, 'r'));
    const auto usage = client.result("dir_usage", {{"path", "/"}});
    ASSERT_TRUE(usage.is_array());
    std::map<std::string, std::pair<std::int64_t, bool>> byName;
    for (const auto& e : usage.as_array()) {
        byName[std::string(e.at("name").as_string())] = {e.at("size").as_int64(),
                                                         e.at("is_directory").as_bool()};
    }
    EXPECT_EQ(byName.size(), 2u);
    EXPECT_EQ(byName["photos"], std::make_pair(std::int64_t{1230}, true));
    EXPECT_EQ(byName["readme"], std::make_pair(std::int64_t{7}, false));
}

}  // namespace
}  // namespace quorvale::agent::test
