#include "rpc/json_rpc.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

using namespace quorvale::rpc;

namespace {

TEST(JSONRPCRequest, EncodesKeysInFieldOrderWithObjectParams) {
    EXPECT_EQ(JSONRPCRequest(1, "ping").encode(),
              R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})");
    const JSONRPCRequest request(9007199254740993, "rename",
                                 {{"path", "/a\"b"}, {"new_name", "c"}, {"force", false}});
    EXPECT_EQ(request.encode(), R"({"jsonrpc":"2.0","id":9007199254740993,"method":"rename",)"
                                R"("params":{"force":false,"new_name":"c","path":"/a\"b"}})");
    // Whatever the parameters, a request is one line: the framing depends on it.
    EXPECT_EQ(JSONRPCRequest(2, "w", {{"data", "line1\nline2\r\n"}}).encode().find('\n'),
              std::string::npos);
}

TEST(JSONRPCRequest, UnsupportedParameterFailsEncoding) {
    struct Date {};
    const JSONRPCRequest request(3, "touch", {{"when", AnyCodable::unsupported(Date{})}});
    EXPECT_THROW(
        {
            try {
                request.encode();
            } catch (const CodingError& e) {
                EXPECT_STREQ(e.what(), "Unsupported type");
                throw;
            }
        },
        CodingError);
}

TEST(JSONRPCRequest, ServerSideDecodingRoundTrips) {
    const auto request =
        JSONRPCRequest::decode(JSONRPCRequest(4, "list", {{"path", "/"}, {"n", 2}}).encode());
    EXPECT_EQ(request.id, 4);
    EXPECT_EQ(request.method, "list");
    EXPECT_EQ(request.params.at("path"), AnyCodable("/"));
    EXPECT_EQ(request.params.at("n").intValue(), 2);
    EXPECT_THROW(JSONRPCRequest::decode(R"({"jsonrpc":"2.0","id":"4","method":"x"})"),
                 JSONRPCError);
    EXPECT_THROW(JSONRPCRequest::decode(R"({"jsonrpc":"2.0","id":4,"method":"x","params":[]})"),
                 JSONRPCError);
    EXPECT_THROW(JSONRPCRequest::decode("{"), DecodingError);
}

TEST(JSONRPCResponse, DecodesResultsErrorsAndTheirAbsence) {
    const auto ok = JSONRPCResponse::decode(R"({"jsonrpc":"2.0","id":7,"result":{"a":[1]}})");
    EXPECT_EQ(ok.id, 7);
    EXPECT_EQ(ok.jsonrpc, "2.0");
    EXPECT_EQ(ok.result.value().render(), R"({"a":[1]})");
    EXPECT_FALSE(ok.error);

    // Both members: both kept (the transport decides the error wins).
    const auto both = JSONRPCResponse::decode(
        R"({"jsonrpc":"2.0","id":1,"result":1,"error":{"code":-32000,"message":"EIO"}})");
    EXPECT_TRUE(both.result);
    ASSERT_TRUE(both.error);
    EXPECT_EQ(both.error->code, -32000);
    EXPECT_STREQ(both.error->what(), "EIO");  // the message alone, no code or prefix
    EXPECT_FALSE(both.error->data);

    const auto neither = JSONRPCResponse::decode(R"({"jsonrpc":"2.0","id":2})");
    EXPECT_FALSE(neither.result);
    EXPECT_FALSE(neither.error);

    // null members are absent ones: a success reply that spells out "error":null is a success.
    const auto nulls =
        JSONRPCResponse::decode(R"({"jsonrpc":"2.0","id":3,"result":null,"error":null})");
    EXPECT_FALSE(nulls.result);
    EXPECT_FALSE(nulls.error);

    // The version is not checked; extra keys are ignored, in the error object too.
    const auto old = JSONRPCResponse::decode(
        R"({"jsonrpc":"1.0","id":4,"extra":[],"error":{"code":2,"message":"m","data":"d","x":1}})");
    EXPECT_EQ(old.jsonrpc, "1.0");
    EXPECT_EQ(old.error.value().data.value().stringValue(), "d");
}

TEST(JSONRPCResponse, RefusesMalformedResponses) {
    for (const char* bad : {
             "",
             "not json",
             R"([1])",
             R"({"jsonrpc":"2.0","result":1})",                      // no id
             R"({"jsonrpc":"2.0","id":null,"result":1})",            // null id
             R"({"jsonrpc":"2.0","id":"1","result":1})",             // string id
             R"({"jsonrpc":"2.0","id":1.5,"result":1})",             // fractional id
             R"({"jsonrpc":"2.0","id":9223372036854775808})",        // beyond int64
             R"({"id":1,"result":1})",                               // no version
             R"({"jsonrpc":2,"id":1,"result":1})",                   // version not a string
             R"({"jsonrpc":"2.0","id":1,"error":{"code":1}})",       // no message
             R"({"jsonrpc":"2.0","id":1,"error":{"message":"m"}})",  // no code
             R"({"jsonrpc":"2.0","id":1,"error":{"code":"1","message":"m"}})",
             R"({"jsonrpc":"2.0","id":1,"error":{"code":1,"message":5}})",
             R"({"jsonrpc":"2.0","id":1,"error":"boom"})",
             R"({"jsonrpc":"2.0","id":1,"result":1} trailing)",
         }) {
        EXPECT_THROW(JSONRPCResponse::decode(bad), DecodingError) << bad;
    }
}

TEST(JSONRPCResponse, ServerSideEncodersProduceDecodableLines) {
    const auto result =
        JSONRPCResponse::decode(JSONRPCResponse::encodeResult(5, boost::json::parse(R"([1])")));
    EXPECT_EQ(result.id, 5);
    EXPECT_EQ(result.result.value().render(), "[1]");

    const JSONRPCError error(JSONRPCError::methodNotFound, "Method not found: x", AnyCodable(3));
    EXPECT_EQ(JSONRPCResponse::encodeError(std::nullopt, error),
              R"({"jsonrpc":"2.0","id":null,"error":{"code":-32601,)"
              R"("message":"Method not found: x","data":3}})");
    const auto decoded = JSONRPCResponse::decode(JSONRPCResponse::encodeError(6, error));
    EXPECT_EQ(decoded.error.value().message, "Method not found: x");
    EXPECT_EQ(decoded.error->data.value().intValue(), 3);
}

}  // namespace
