// passwd/group parsing and the entry members built from stat data.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent/account_names.h"
#include "agent/listing.h"

#include <boost/json/parse.hpp>

namespace quorvale::agent {
namespace {

TEST(IdNames, ParsesPasswdAndGroupLines) {
    const auto names = parseIdNames(
        "root:x:0:0:root:/root:/bin/bash\n"
        "pi:x:1000:1000:,,,:/home/pi:/bin/bash\n"
        "\n"
        "# comment:x:5\n"
        "nobody:x:65534:65534::/nonexistent:/usr/sbin/nologin\n"
        "dup:x:1000:1000::/:/bin/sh\n"
        "bad:x:12a:0::/:\n"
        ":x:7:7::/:\n"
        "short:x\n"
        "plugdev:x:46:pi");  // group line, no trailing newline
    EXPECT_EQ(names.size(), 4u);
    EXPECT_EQ(names.at(0), "root");
    EXPECT_EQ(names.at(1000), "pi") << "the first name of an id wins";
    EXPECT_EQ(names.at(65534), "nobody");
    EXPECT_EQ(names.at(46), "plugdev");
    EXPECT_FALSE(names.contains(7));
    EXPECT_TRUE(parseIdNames("").empty());
    EXPECT_TRUE(parseIdNames("x:x:99999999999:0\n").empty()) << "ids beyond 32 bits are skipped";
}

TEST(IdNames, TablesFallBackToTheNumber) {
    AccountNames::Tables tables;
    tables.users = parseIdNames("pi:x:1000:1000::/:/bin/sh\n");
    EXPECT_EQ(tables.user(1000), "pi");
    EXPECT_EQ(tables.user(1001), "1001");
    EXPECT_EQ(tables.group(0), "0");
}

boost::json::object entryJSON(std::string_view name, const struct stat& st,
                              const AccountNames::Tables& tables, const std::string* target) {
    std::string text;
    appendEntryJSON(text, name, st, tables, target);
    return boost::json::parse(text).as_object();
}

TEST(EntryJSON, MapsModeOwnerAndTimes) {
    AccountNames::Tables tables;
    tables.users = parseIdNames("pi:x:1000:1000::/:/bin/sh\n");
    tables.groups = parseIdNames("users:x:100:\n");
    struct stat st {};
    st.st_mode = S_IFREG | 04755;
    st.st_size = 123456789012;
    st.st_uid = 1000;
    st.st_gid = 100;
    st.st_mtim = {1700000000, 250000000};
    const auto file = entryJSON("a.txt", st, tables, nullptr);
    EXPECT_EQ(file.at("name"), "a.txt");
    EXPECT_EQ(file.at("size"), 123456789012);
    EXPECT_EQ(file.at("permissions"), 0104755) << "the full mode, type bits included";
    EXPECT_EQ(file.at("owner"), "pi");
    EXPECT_EQ(file.at("group"), "users");
    EXPECT_DOUBLE_EQ(file.at("mtime").as_double(), 1700000000.25);
    EXPECT_EQ(file.at("is_directory"), false);
    EXPECT_EQ(file.at("is_symlink"), false);
    EXPECT_FALSE(file.contains("symlink_target"));

    st.st_mode = S_IFLNK | 0777;
    const std::string target = "/a\xff";
    const auto link = entryJSON("l", st, tables, &target);
    EXPECT_EQ(link.at("is_symlink"), true);
    EXPECT_EQ(link.at("symlink_target"), "/a\xef\x9f\xbf") << "escaped like names";

    st.st_mode = S_IFDIR | 0755;
    st.st_uid = 5;
    const auto dir = entryJSON("d\"q\\\n\x01", st, tables, nullptr);
    EXPECT_EQ(dir.at("name"), "d\"q\\\n\x01") << "escaped and read back";
    EXPECT_EQ(dir.at("is_directory"), true);
    EXPECT_EQ(dir.at("permissions"), 040755);
    EXPECT_EQ(dir.at("owner"), "5");
}

}  // namespace
}  // namespace quorvale::agent
