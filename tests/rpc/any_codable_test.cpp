#include "rpc/any_codable.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <cstdint>
#include <limits>

using namespace quorvale::rpc;

namespace {

AnyCodable decode(std::string_view json) {
    return AnyCodable::fromJSON(boost::json::parse(json));
}

std::string encode(const AnyCodable& value) {
    return boost::json::serialize(value.toJSON());
}

TEST(AnyCodable, DecodesEachKindInOrder) {
    EXPECT_EQ(decode("null").kind(), AnyCodable::Kind::null);
    EXPECT_EQ(decode("true").kind(), AnyCodable::Kind::boolean);
    EXPECT_EQ(decode("true").intValue(), std::nullopt);  // never the integer 1
    EXPECT_EQ(decode("1").boolValue(), std::nullopt);    // a number is never a boolean
    EXPECT_EQ(decode("5").kind(), AnyCodable::Kind::integer);
    EXPECT_EQ(decode("5").intValue(), 5);
    EXPECT_EQ(decode("5").doubleValue(), std::nullopt);
    EXPECT_EQ(decode("5.5").kind(), AnyCodable::Kind::floating);
    EXPECT_EQ(decode("5.5").doubleValue(), 5.5);
    EXPECT_EQ(decode("5.0").kind(), AnyCodable::Kind::floating);
    EXPECT_EQ(decode("-9223372036854775808").intValue(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(decode("9223372036854775807").intValue(), std::numeric_limits<std::int64_t>::max());
    // Beyond a signed 64-bit integer: "any other number".
    EXPECT_EQ(decode("9223372036854775808").kind(), AnyCodable::Kind::floating);
    EXPECT_EQ(decode("18446744073709551615").numberValue(), 18446744073709551615.0);
    EXPECT_EQ(decode(R"("5")").stringValue(), "5");
}

TEST(AnyCodable, DecodesNestedValuesAsPlainTrees) {
    const auto list = decode(R"([1,"two",null])");
    ASSERT_NE(list.arrayValue(), nullptr);
    const auto& items = *list.arrayValue();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(items[0].is_int64());
    EXPECT_TRUE(items[1].is_string());
    EXPECT_TRUE(items[2].is_null());

    const auto nested = decode(R"({"a":{"b":[true]}})");
    ASSERT_NE(nested.objectValue(), nullptr);
    const auto& inner = nested.objectValue()->at("a").as_object().at("b").as_array();
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_TRUE(inner[0].is_bool());
    EXPECT_TRUE(inner[0].get_bool());

    // Deep numbers follow the top-level rules: unsigned JSON numbers never leak through.
    const auto deep = decode(R"({"n":[7,18446744073709551615]})");
    const auto& numbers = deep.objectValue()->at("n").as_array();
    EXPECT_TRUE(numbers[0].is_int64());
    EXPECT_TRUE(numbers[1].is_double());
}

TEST(AnyCodable, EncodesSupportedKinds) {
    EXPECT_EQ(encode(AnyCodable()), "null");
    EXPECT_EQ(encode(nullptr), "null");
    EXPECT_EQ(encode(false), "false");
    EXPECT_EQ(encode(std::int64_t{-3}), "-3");
    EXPECT_EQ(encode(std::uint32_t{4000000000u}), "4000000000");
    EXPECT_EQ(encode(std::uint64_t{9223372036854775807u}), "9223372036854775807");
    EXPECT_EQ(encode(0.5), "5E-1");
    EXPECT_EQ(encode("a\"b\n"), R"("a\"b\n")");
    EXPECT_EQ(encode(std::vector<AnyCodable>{1, "x", nullptr, std::vector<AnyCodable>{}}),
              R"([1,"x",null,[]])");
    EXPECT_EQ(encode(std::map<std::string, AnyCodable>{{"k", true}, {"e", Params{}}}),
              R"({"e":{},"k":true})");
}

TEST(AnyCodable, RefusesToEncodeUnsupportedValues) {
    const auto date = AnyCodable::unsupported(std::chrono::system_clock::now());
    EXPECT_EQ(date.kind(), AnyCodable::Kind::unsupported);
    auto expectUnsupported = [](const AnyCodable& value) {
        try {
            value.toJSON();
            ADD_FAILURE() << "encoded " << value.render();
        } catch (const CodingError& e) {
            EXPECT_EQ(e.kind, CodingError::Kind::invalidValue);
            EXPECT_STREQ(e.what(), "Unsupported type");
        }
    };
    expectUnsupported(date);
    // Too large for a signed 64-bit integer.
    expectUnsupported(AnyCodable(std::uint64_t{9223372036854775808u}));
    // Inside containers, at any depth.
    expectUnsupported(AnyCodable(std::vector<AnyCodable>{1, date}));
    expectUnsupported(AnyCodable(Params{{"a", std::vector<AnyCodable>{Params{{"b", date}}}}}));
}

TEST(AnyCodable, EqualityComparesRenderings) {
    EXPECT_EQ(AnyCodable(1), AnyCodable("1"));
    EXPECT_NE(AnyCodable(1), AnyCodable(1.0));
    EXPECT_EQ(AnyCodable(1.0), decode("1.0"));
    EXPECT_EQ(decode("5"), AnyCodable(5));
    EXPECT_NE(AnyCodable(true), AnyCodable(1));
    EXPECT_NE(AnyCodable(), AnyCodable(""));
    EXPECT_EQ(decode(R"({"a":[1,2]})"), AnyCodable(Params{{"a", std::vector<AnyCodable>{1, 2}}}));
    EXPECT_NE(decode("[1,2]"), decode("[2,1]"));
}

}  // namespace
