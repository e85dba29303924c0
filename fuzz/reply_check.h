#pragma once
// The shape every reply line of our servers must have, checked by the request fuzz targets:
// one JSON object with "jsonrpc" "2.0", an "id" that is the request's integer id (or null when
// the request carried none), and exactly one of "result" and an "error" object holding an
// integer "code" and a string "message". Aborts with the offending lines otherwise.

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvale::fuzz {

// The integer id of a request line as a JSON-RPC server must see it; nothing when the line is
// not an object with an integer "id".
std::optional<std::int64_t> requestId(std::string_view request);

enum class NullId {
    refused,          // an id the server could read must come back
    allowedOnErrors,  // an error may carry no id (the helper's client takes it as the answer)
};

void checkReply(std::string_view request, std::string_view reply, NullId nullId = NullId::refused);

}  // namespace quorvale::fuzz
