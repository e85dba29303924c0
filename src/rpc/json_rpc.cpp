#include "rpc/json_rpc.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <string>

namespace quorvale::rpc {

namespace json = boost::json;

namespace {

json::value parseLine(std::string_view line) {
    boost::system::error_code ec;
    json::value v = json::parse(line, ec);
    if (ec) {
        throw DecodingError("The given data was not valid JSON: " + ec.message());
    }
    return v;
}

std::optional<std::int64_t> integerMember(const json::object& o, std::string_view key) {
    const auto* v = o.if_contains(key);
    if (!v)
        return std::nullopt;
    if (v->is_int64())
        return v->get_int64();
    if (v->is_uint64() && v->get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        return static_cast<std::int64_t>(v->get_uint64());
    }
    return std::nullopt;
}

const json::string* stringMember(const json::object& o, std::string_view key) {
    const auto* v = o.if_contains(key);
    return v ? v->if_string() : nullptr;
}

// An optional member: absent when missing or null.
json::value* optionalMember(json::object& o, std::string_view key) {
    auto* v = o.if_contains(key);
    return v && !v->is_null() ? v : nullptr;
}

}  // namespace

json::object JSONRPCError::toJSON() const {
    json::object o;
    o["code"] = code;
    o["message"] = message;
    if (data)
        o["data"] = data->toJSON();
    return o;
}

std::string JSONRPCRequest::encode() const {
    json::object p;
    p.reserve(params.size());
    for (const auto& [key, value] : params) {
        p.emplace(key, value.toJSON());
    }
    // Serialized by hand so the keys keep field order.
    std::string out = R"({"jsonrpc":)";
    out += json::serialize(json::string_view(jsonrpc));
    out += R"(,"id":)";
    out += std::to_string(id);
    out += R"(,"method":)";
    out += json::serialize(json::string_view(method));
    out += R"(,"params":)";
    out += json::serialize(p);
    out += '}';
    return out;
}

JSONRPCRequest JSONRPCRequest::decode(std::string_view line) {
    json::value v = parseLine(line);
    auto* o = v.if_object();
    if (!o)
        throw JSONRPCError(JSONRPCError::invalidRequest, "Invalid request: not an object");
    const auto id = integerMember(*o, "id");
    if (!id)
        throw JSONRPCError(JSONRPCError::invalidRequest, "Invalid request: missing integer id");
    const auto* method = stringMember(*o, "method");
    if (!method)
        throw JSONRPCError(JSONRPCError::invalidRequest, "Invalid request: missing method");
    JSONRPCRequest request(*id, std::string(*method));
    if (auto* params = o->if_contains("params")) {
        auto* members = params->if_object();
        if (!members) {
            throw JSONRPCError(JSONRPCError::invalidParams, "Invalid params: not an object");
        }
        for (auto& [key, value] : *members) {
            request.params.emplace(std::string(key), AnyCodable::fromJSON(std::move(value)));
        }
    }
    return request;
}

JSONRPCResponse JSONRPCResponse::decode(std::string_view line) {
    json::value v = parseLine(line);
    auto* o = v.if_object();
    if (!o)
        throw DecodingError("Expected to decode a dictionary but found another value");
    const auto* version = stringMember(*o, "jsonrpc");
    if (!version)
        throw DecodingError("No string value associated with key \"jsonrpc\"");
    const auto id = integerMember(*o, "id");
    if (!id)
        throw DecodingError("No integer value associated with key \"id\"");

    JSONRPCResponse response;
    response.jsonrpc = std::string(*version);
    response.id = *id;
    if (auto* error = optionalMember(*o, "error")) {
        auto* e = error->if_object();
        if (!e)
            throw DecodingError("Expected \"error\" to be a dictionary");
        const auto code = integerMember(*e, "code");
        if (!code)
            throw DecodingError("No integer value associated with key \"code\"");
        const auto* message = stringMember(*e, "message");
        if (!message)
            throw DecodingError("No string value associated with key \"message\"");
        std::optional<AnyCodable> data;
        if (auto* d = optionalMember(*e, "data"))
            data = AnyCodable::fromJSON(std::move(*d));
        response.error.emplace(*code, std::string(*message), std::move(data));
    }
    if (auto* result = optionalMember(*o, "result")) {
        response.result = AnyCodable::fromJSON(std::move(*result));
    }
    return response;
}

std::string JSONRPCResponse::encodeResult(std::int64_t id, const json::value& result) {
    std::string out = R"({"jsonrpc":"2.0","id":)";
    out += std::to_string(id);
    out += R"(,"result":)";
    out += json::serialize(result);
    out += '}';
    return out;
}

std::string JSONRPCResponse::encodeError(std::optional<std::int64_t> id,
                                         const JSONRPCError& error) {
    std::string out = R"({"jsonrpc":"2.0","id":)";
    out += id ? std::to_string(*id) : std::string("null");
    out += R"(,"error":)";
    out += json::serialize(error.toJSON());
    out += '}';
    return out;
}

}  // namespace quorvale::rpc
