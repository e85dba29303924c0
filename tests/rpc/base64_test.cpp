#include "rpc/base64.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace quorvale::rpc;

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::string bytes;
    for (int i = 0; i < 300; ++i) {
        bytes.push_back(static_cast<char>(i * 7));
        const auto decoded = base64Decode(base64Encode(bytes));
        ASSERT_TRUE(decoded.has_value()) << i;
        ASSERT_EQ(*decoded, bytes) << i;
    }
    EXPECT_EQ(base64Encode("hello"), "aGVsbG8=");
    EXPECT_EQ(base64Encode(""), "");
}

TEST(Base64, RefusesNonCanonicalInput) {
    for (const char* bad : {"aGVsbG8", "aGVs\nbG8=", "aGVsbG8=\n",
                            "aGV-bG8=", "aGVsbG9=", "a===", "=aGV", "aGVsbG8= ", "aG=sbG8="}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
    }
    EXPECT_EQ(base64Decode("").value(), "");
}

TEST(Base64, RefusesEveryByteOutsideTheAlphabetInEveryPosition) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        if (alphabet.find(c) != std::string::npos)
            continue;
        // Long enough to be read eight characters at a time as well as four.
        const std::string good = "QUJDQUJDQUJDQUJDQUJDQUJD";  // "ABC" six times
        for (std::size_t position = 0; position < good.size(); ++position) {
            std::string text = good;
            text[position] = c;
            if (c == '=' && position + 2 >= good.size())
                continue;  // padding there is canonical for some inputs
            EXPECT_FALSE(base64Decode(text).has_value()) << byte << " at " << position;
        }
    }
    // Every character decodes to its own value: 64 characters are 48 known bytes.
    const auto decoded = base64Decode(alphabet);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(base64Encode(*decoded), alphabet);
    ASSERT_EQ(decoded->size(), 48u);
    EXPECT_EQ(decoded->substr(0, 3), std::string("\x00\x10\x83", 3));  // "ABCD"
    EXPECT_EQ(decoded->substr(45), "\xF3\xDF\xBF");                    // "89+/"
}

// Decoding into exactly the room documented (under ASan a write past it fails the test), for
// every length around the point where eight characters at a time give way to four.
TEST(Base64, DecodesIntoExactlyItsRoom) {
    std::string bytes;
    for (int i = 0; i < 100; ++i) {
        bytes.push_back(static_cast<char>(i * 37 + 11));
        const std::string text = base64Encode(bytes);
        const std::size_t room = text.size() / 4 * 3;
        const auto out = std::make_unique<char[]>(room);
        const auto size = base64DecodeTo(text, out.get());
        ASSERT_EQ(size, std::optional<std::size_t>(bytes.size())) << i;
        ASSERT_EQ(std::string(out.get(), *size), bytes) << i;
    }
}
