// Text from filesystems: replacement for display, and the reversible escape of names.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "rpc/utf8_text.h"

namespace quorvale::rpc {
namespace {

TEST(Utf8Text, ValidUtf8KeepsValidTextAndReplacesInvalidBytes) {
    EXPECT_EQ(validUtf8("plain"), "plain");
    EXPECT_EQ(validUtf8("caf\xc3\xa9 \xf0\x9f\x93\x81"), "caf\xc3\xa9 \xf0\x9f\x93\x81");
    EXPECT_EQ(validUtf8("caf\xe9"), "caf\xef\xbf\xbd");
    EXPECT_EQ(validUtf8("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd") << "overlong form";
    EXPECT_EQ(validUtf8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd") << "surrogate";
    EXPECT_EQ(validUtf8("\xe2\x82"), "\xef\xbf\xbd\xef\xbf\xbd") << "truncated sequence";
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80")) << "above U+10FFFF";
}

TEST(Utf8Text, EscapedNamesAreValidDistinctAndReversible) {
    const struct {
        std::string bytes;
        std::string escaped;
        std::string readable;
    } cases[] = {
        {"photo.jpg", "photo.jpg", "photo.jpg"},
        {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
        {"caf\xe9", "caf\xef\x9f\xa9", "caf\\xE9"},
        {"caf\xef\xbf\xbd", "caf\xef\xbf\xbd", "caf\xef\xbf\xbd"},  // U+FFFD is a real name
        // A name holding one of the escape characters itself: its three bytes are escaped.
        {"\xef\x9f\xa9", "\xef\x9f\xaf\xef\x9e\x9f\xef\x9e\xa9", "\\xEF\\x9F\\xA9"},
        {"\xc0\xaf", "\xef\x9f\x80\xef\x9e\xaf", "\\xC0\\xAF"},  // overlong "/"
        {"\xed\xa0\x80", "\xef\x9f\xad\xef\x9e\xa0\xef\x9e\x80", "\\xED\\xA0\\x80"},  // surrogate
        {"a\nb\x7f", "a\nb\x7f", "a\\x0Ab\\x7F"},  // controls are valid text, shown escaped
        {"\xff", "\xef\x9f\xbf", "\\xFF"},
    };
    std::set<std::string> seen;
    for (const auto& c : cases) {
        const auto escaped = escapeName(c.bytes);
        EXPECT_EQ(escaped, c.escaped) << c.readable;
        EXPECT_TRUE(isValidUtf8(escaped)) << c.readable;
        EXPECT_EQ(unescapeName(escaped), c.bytes) << c.readable;
        EXPECT_EQ(readableName(escaped), c.readable);
        EXPECT_TRUE(seen.insert(escaped).second) << "two names escape alike: " << c.readable;
    }
}

TEST(Utf8Text, EveryByteStringSurvivesTheEscape) {
    // All one- and two-byte names, and three-byte ones around the escape range.
    std::string bytes(3, '\0');
    std::set<std::string> escapedNames;
    for (int a = 1; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            bytes.assign({static_cast<char>(a), static_cast<char>(b)});
            if (b == 0)
                bytes.resize(1);
            const auto escaped = escapeName(bytes);
            ASSERT_TRUE(isValidUtf8(escaped));
            ASSERT_EQ(unescapeName(escaped), bytes);
            escapedNames.insert(escaped);
        }
    }
    EXPECT_EQ(escapedNames.size(), 255u * 256u) << "the escape is one-to-one";
    for (int c = 0x80; c < 0xC0; ++c) {
        for (const char lead : {'\x9e', '\x9f'}) {
            bytes.assign({'\xef', lead, static_cast<char>(c)});
            ASSERT_EQ(unescapeName(escapeName(bytes)), bytes);
        }
    }
}

}  // namespace
}  // namespace quorvale::rpc
