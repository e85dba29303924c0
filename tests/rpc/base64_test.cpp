#include "rpc/base64.h"

#include <gtest/gtest.h>

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
