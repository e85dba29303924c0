#pragma once
// JSON-RPC 2.0 messages between host and guest agent. The host encodes requests and decodes
// responses; the agent (and the helper daemon) does the reverse with the same types.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rpc/any_codable.h"
#include "rpc/error.h"

namespace quorvale::rpc {

// An error object of a response; thrown as received, its description is `message`.
class JSONRPCError : public Error {
public:
    JSONRPCError(std::int64_t code, std::string message, std::optional<AnyCodable> data = {})
        : Error(message), code(code), message(std::move(message)), data(std::move(data)) {}

    std::int64_t code;
    std::string message;
    std::optional<AnyCodable> data;

    boost::json::object toJSON() const;
    // Standard codes used by our servers.
    static constexpr std::int64_t parseError = -32700;
    static constexpr std::int64_t invalidRequest = -32600;
    static constexpr std::int64_t methodNotFound = -32601;
    static constexpr std::int64_t invalidParams = -32602;
    static constexpr std::int64_t internalError = -32603;
};

// Thrown when a line is not a decodable message; description as the decoder words it.
class DecodingError : public Error {
public:
    using Error::Error;
};

struct JSONRPCRequest {
    std::string jsonrpc = "2.0";
    std::int64_t id = 0;
    std::string method;
    Params params;

    JSONRPCRequest(std::int64_t id, std::string method, Params params = {})
        : id(id), method(std::move(method)), params(std::move(params)) {}

    // Compact JSON with keys in field order; "params" is "{}" when empty. Throws CodingError.
    std::string encode() const;
    // Server side: parses one request line. Throws DecodingError or JSONRPCError (invalid request).
    static JSONRPCRequest decode(std::string_view line);
};

struct JSONRPCResponse {
    std::string jsonrpc;
    std::int64_t id = 0;
    std::optional<AnyCodable> result;
    std::optional<JSONRPCError> error;

    // Throws DecodingError when "jsonrpc" or an integer "id" is missing, or "error" is malformed.
    // "result", "error" and an error's "data" are optional: missing or null means absent.
    static JSONRPCResponse decode(std::string_view line);

    // What can be told of a line that decode() refused: whether it is JSON at all (invalid
    // UTF-8 in strings aside) and the integer "id" it carries, if any.
    struct Salvage {
        bool isJSON = false;
        std::optional<std::int64_t> id;
    };
    static Salvage salvage(std::string_view line);

    // Server side encoders (no trailing newline).
    static std::string encodeResult(std::int64_t id, const boost::json::value& result);
    static std::string encodeError(std::optional<std::int64_t> id, const JSONRPCError& error);
};

}  // namespace quorvale::rpc
