#include "rpc/large_buffer.h"

#include <gtest/gtest.h>

#include "rpc/json_rpc.h"

using namespace quorvale::rpc;

namespace {

TEST(LargeBuffer, ReserveKeepsContentsAtEverySize) {
    for (const std::size_t capacity : {std::size_t{16}, largeBufferBytes, 3 * largeBufferBytes}) {
        std::string text = "keep me";
        reserveLarge(text, capacity);
        EXPECT_EQ(text, "keep me");
        EXPECT_GE(text.capacity(), capacity);
        text.append(capacity - text.size(), 'x');
        EXPECT_EQ(text.size(), capacity);
    }
    std::string big(10, 'a');
    big.reserve(100);
    reserveLarge(big, 50);  // never shrinks
    EXPECT_GE(big.capacity(), 100u);
}

TEST(LargeBuffer, DecodedValuesOutliveTheirResponseAndMixWithOtherValues) {
    const std::string text(2 * largeBufferBytes, 'q');
    std::optional<AnyCodable> kept;
    {
        auto response = JSONRPCResponse::decode(R"({"jsonrpc":"2.0","id":1,"result":{"data":")" +
                                                text + R"(","n":[1,2]}})");
        kept = std::move(response.result);
    }
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->objectValue()->at("data").as_string(), text);
    // Assigning between values of different storages copies instead of moving; both stay valid.
    AnyCodable plain(Params{{"n", std::vector<AnyCodable>{1, 2}}});
    AnyCodable assigned = plain;
    assigned = *kept;
    EXPECT_EQ(assigned, *kept);
    *kept = plain;
    EXPECT_EQ(kept->render(), R"({"n":[1,2]})");
}

}  // namespace
