// Pure path and name checks: what reaches the filesystem at all.

#include <gtest/gtest.h>

#include "agent/agent_error.h"
#include "agent/file_io.h"
#include "agent/listing.h"
#include "agent/request_path.h"
#include "agent/temporary_file.h"

namespace quorvale::agent {
namespace {

AgentError refusal(std::string_view path) {
    try {
        RequestPath::parse(path);
    } catch (const AgentError& e) {
        return e;
    }
    ADD_FAILURE() << "accepted " << path;
    return AgentError::invalidParams("");
}

TEST(RequestPath, SplitsAndNormalises) {
    const auto root = RequestPath::parse("/");
    EXPECT_TRUE(root.isRoot());
    EXPECT_EQ(root.relative, ".");
    EXPECT_EQ(root.display, "/");
    EXPECT_EQ(root.parent().display, "/");

    const auto p = RequestPath::parse("//docs///my report.txt/");
    EXPECT_EQ(p.components, (std::vector<std::string>{"docs", "my report.txt"}));
    EXPECT_EQ(p.relative, "docs/my report.txt");
    EXPECT_EQ(p.display, "/docs/my report.txt");
    EXPECT_EQ(p.leaf(), "my report.txt");
    EXPECT_EQ(p.parent().display, "/docs");
    EXPECT_EQ(p.parent().child("b").display, "/docs/b");
    EXPECT_EQ(RequestPath::parse("/...").leaf(), "...") << "only . and .. are special";
}

TEST(RequestPath, RefusesWhatCouldLeaveTheTreeOrIsNotAPath) {
    for (std::string_view bad :
         std::initializer_list<std::string_view>{"", "docs", "./x", "/..", "/a/../b", "/a/./b",
                                                 "/a/..", std::string_view("/a\0b", 4)}) {
        const auto e = refusal(bad);
        EXPECT_EQ(e.code(), -32602) << bad;
        EXPECT_NE(std::string(e.what()).find("\"path\""), std::string::npos) << e.what();
    }
    EXPECT_EQ(refusal("/" + std::string(256, 'n')).code(), -32602);
    EXPECT_NO_THROW(RequestPath::parse("/" + std::string(255, 'n')));
    EXPECT_EQ(refusal(std::string(5000, '/') + "x").code(), -32602);
    try {
        RequestPath::parse("x", "dest_path");
        FAIL();
    } catch (const AgentError& e) {
        EXPECT_STREQ(e.what(), "Invalid params: \"dest_path\" must be an absolute path: \"x\"");
    }
}

TEST(RequestPath, EntryNames) {
    for (std::string_view ok : {"a", "...", "a b", ".hidden", "n\xc3\xa4me"})
        EXPECT_TRUE(isValidName(ok)) << ok;
    for (std::string_view bad : std::initializer_list<std::string_view>{"", ".", "..", "a/b", "/",
                                                                        std::string_view("a\0", 2)})
        EXPECT_FALSE(isValidName(bad)) << bad;
    EXPECT_FALSE(isValidName(std::string(256, 'x')));
    EXPECT_THROW(parseName("x/y", "new_name"), AgentError);
    EXPECT_EQ(parseName("caf\xef\x9f\xa9", "new_name"), "caf\xe9") << "escapes are undone";
}

TEST(RequestPath, EscapedNamesReachTheirBytes) {
    // A Latin-1 "café" beside a UTF-8 "caf" + U+FFFD: distinct bytes, distinct paths.
    const auto latin1 = RequestPath::parse("/dir/caf\xef\x9f\xa9");
    const auto replacement = RequestPath::parse("/dir/caf\xef\xbf\xbd");
    EXPECT_EQ(latin1.relative, "dir/caf\xe9");
    EXPECT_EQ(replacement.relative, "dir/caf\xef\xbf\xbd");
    EXPECT_EQ(latin1.display, "/dir/caf\xef\x9f\xa9") << "shown as it came";
    // 255 bytes on the disk may take 765 escaped.
    std::string escaped;
    for (int i = 0; i < 255; ++i)
        escaped += "\xef\x9f\xbf";
    EXPECT_EQ(RequestPath::parse("/" + escaped).leaf(), std::string(255, '\xff'));
    EXPECT_EQ(refusal("/" + escaped + "\xef\x9f\xbf").code(), -32602);
}

TEST(AgentErrorText, SystemErrorsReadAsErrnoTextAndPath) {
    const auto e = AgentError::system(ENOENT, "/docs/x");
    EXPECT_STREQ(e.what(), "No such file or directory: /docs/x");
    EXPECT_EQ(e.code(), -ENOENT);
    EXPECT_STREQ(AgentError::system(EEXIST, "/untitled folder").what(),
                 "File exists: /untitled folder");
}

TEST(TemporaryNames, AreHiddenAndUnpredictable) {
    const auto a = randomTemporaryName();
    const auto b = randomTemporaryName();
    EXPECT_NE(a, b);
    EXPECT_TRUE(isTemporaryName(a));
    EXPECT_TRUE(isValidName(a));
    EXPECT_EQ(a.size(), temporaryPrefix.size() + 32) << "128 random bits in hex";
    // Only the exact shapes are temporaries: anything else under the prefix is a user's file.
    for (const char* name : {".quorvale-tmp-u0123456789abcdef", ".quorvale-tmp-w12-3"})
        EXPECT_TRUE(isTemporaryName(name)) << name;
    for (const char* name :
         {".quorvale", "movie.mkv", ".quorvale-tmp-", ".quorvale-tmp-notes.txt",
          ".quorvale-tmp-u0123456789abcdeF", ".quorvale-tmp-u0123456789abcde", ".quorvale-tmp-w12-",
          ".quorvale-tmp-w-3", ".quorvale-tmp-w12-3.txt",
          ".quorvale-tmp-0123456789abcdef0123456789abcdeg", "x.quorvale-tmp-w12-3"})
        EXPECT_FALSE(isTemporaryName(name)) << name;
}

}  // namespace
}  // namespace quorvale::agent
