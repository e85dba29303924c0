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

TEST(LargeBuffer, StorageHonoursEveryAlignmentAndFreesKeysAsBoostDoes) {
    const boost::json::storage_ptr storage = largeValueStorage();
    for (const std::size_t align : {1u, 8u, 16u, 64u, 4096u}) {
        for (const std::size_t size : {std::size_t{7}, largeBufferBytes + 3}) {
            void* block = storage->allocate(size, align);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % align, 0u) << align;
            static_cast<char*>(block)[size - 1] = 'x';
            storage->deallocate(block, size, align);
        }
    }
    // Boost.JSON allocates key strings with alignment 1 and frees them with the default one;
    // the pair must match at the allocator underneath (a sanitizer checks it).
    void* key = storage->allocate(5, 1);
    storage->deallocate(key, 5, alignof(std::max_align_t));
    const auto object = JSONRPCResponse::decode(R"({"jsonrpc":"2.0","id":1,"result":{"k":1}})");
    EXPECT_EQ(object.result->objectValue()->at("k").as_int64(), 1);
    EXPECT_THROW(JSONRPCResponse::decode(R"({"jsonrpc":"2.0","id":1,"result":{"key":)"),
                 DecodingError);
}

}  // namespace
