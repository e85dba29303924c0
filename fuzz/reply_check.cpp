#include "reply_check.h"

#include <boost/json/parse.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvale::fuzz {

namespace json = boost::json;

namespace {

[[noreturn]] void fail(std::string_view why, std::string_view request, std::string_view reply) {
    std::fprintf(stderr, "fuzz check failed: bad reply (%.*s)\n  request: %.*s\n  reply:   %.*s\n",
                 static_cast<int>(why.size()), why.data(), static_cast<int>(request.size()),
                 request.data(), static_cast<int>(reply.size()), reply.data());
    std::abort();
}

}  // namespace

std::optional<std::int64_t> requestId(std::string_view request) {
    boost::system::error_code ec;
    const json::value value = json::parse(request, ec);
    if (ec || !value.is_object())
        return std::nullopt;
    const json::value* id = value.get_object().if_contains("id");
    if (id == nullptr)
        return std::nullopt;
    if (id->is_int64())
        return id->get_int64();
    if (id->is_uint64() && id->get_uint64() <= static_cast<std::uint64_t>(INT64_MAX))
        return static_cast<std::int64_t>(id->get_uint64());
    return std::nullopt;
}

void checkReply(std::string_view request, std::string_view reply, NullId nullId) {
    if (reply.find('\n') != std::string_view::npos)
        fail("a raw newline inside the reply", request, reply);
    boost::system::error_code ec;
    const json::value value = json::parse(reply, ec);
    if (ec)
        fail("not JSON", request, reply);
    const json::object* o = value.if_object();
    if (o == nullptr)
        fail("not an object", request, reply);
    const json::value* version = o->if_contains("jsonrpc");
    if (version == nullptr || !version->is_string() || version->get_string() != "2.0")
        fail("no \"jsonrpc\":\"2.0\"", request, reply);
    const json::value* id = o->if_contains("id");
    if (id == nullptr || !(id->is_null() || id->is_int64()))
        fail("\"id\" neither an integer nor null", request, reply);
    // An id the server could read must come back; it may not be invented.
    const std::optional<std::int64_t> expected = requestId(request);
    const bool nullAllowed = nullId == NullId::allowedOnErrors && o->contains("error");
    if (expected && (id->is_null() ? !nullAllowed : id->get_int64() != *expected))
        fail("not the request's id", request, reply);
    if (!expected && !id->is_null())
        fail("an id the request did not carry", request, reply);
    const bool hasResult = o->contains("result");
    const json::value* error = o->if_contains("error");
    if (hasResult == (error != nullptr))
        fail("not exactly one of \"result\" and \"error\"", request, reply);
    if (error) {
        const json::object* e = error->if_object();
        if (e == nullptr || !e->contains("code") || !e->at("code").is_int64() ||
            !e->contains("message") || !e->at("message").is_string())
            fail("a malformed error object", request, reply);
        if (e->at("message").get_string().empty())
            fail("an empty error message", request, reply);
    } else if (!expected) {
        fail("a result for a request without an id", request, reply);
    }
}

}  // namespace quorvale::fuzz
