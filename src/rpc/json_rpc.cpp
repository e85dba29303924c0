#include "rpc/json_rpc.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/serializer.hpp>

#include <string>

#include "rpc/large_buffer.h"

namespace quorvale::rpc {

namespace json = boost::json;

namespace {

json::value parseLine(std::string_view line) {
    boost::system::error_code ec;
    json::value v = json::parse(line, ec, largeValueStorage());
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

// Appends the JSON text of `v` to `out` without building an intermediate string.
void appendJSON(std::string& out, const json::value& v) {
    json::serializer serializer;
    serializer.reset(&v);
    char chunk[16384];
    while (!serializer.done())
        out.append(serializer.read(chunk));
}

// Room for the JSON text of `v`, exact unless strings need escapes.
std::size_t estimatedSize(const json::value& v) {
    switch (v.kind()) {
        case json::kind::string:
            return v.get_string().size() + 2;
        case json::kind::array: {
            std::size_t size = 2;
            for (const auto& item : v.get_array())
                size += estimatedSize(item) + 1;
            return size;
        }
        case json::kind::object: {
            std::size_t size = 2;
            for (const auto& member : v.get_object())
                size += member.key().size() + 4 + estimatedSize(member.value());
            return size;
        }
        default:
            return 24;
    }
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
    std::size_t size = 64 + jsonrpc.size() + method.size();
    for (const auto& [key, value] : params)
        size += key.size() + 4 + estimatedSize(value.toJSON());  // throws "Unsupported type"
    // Serialized by hand so the keys keep field order, into one buffer with room for the
    // newline of its frame: a large upload is written once, never regrown or copied.
    std::string out;
    reserveLarge(out, size + 1);
    out += R"({"jsonrpc":)";
    out += json::serialize(json::string_view(jsonrpc));
    out += R"(,"id":)";
    out += std::to_string(id);
    out += R"(,"method":)";
    out += json::serialize(json::string_view(method));
    out += R"(,"params":{)";
    bool first = true;
    for (const auto& [key, value] : params) {
        if (!first)
            out += ',';
        first = false;
        out += json::serialize(json::string_view(key));
        out += ':';
        appendJSON(out, value.toJSON());
    }
    out += "}}";
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

JSONRPCResponse::Salvage JSONRPCResponse::salvage(std::string_view line) {
    json::parse_options lax;
    lax.allow_invalid_utf8 = true;
    boost::system::error_code ec;
    const json::value v = json::parse(line, ec, {}, lax);
    Salvage salvage;
    if (ec)
        return salvage;
    salvage.isJSON = true;
    if (const auto* o = v.if_object())
        salvage.id = integerMember(*o, "id");
    return salvage;
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
