#pragma once
// Strict standard base64 (RFC 4648 alphabet, "=" padding, no line breaks or whitespace).

#include <optional>
#include <string>
#include <string_view>

namespace quorvale::rpc {

std::string base64Encode(std::string_view bytes);
// Nothing for any input that is not canonical padded base64.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace quorvale::rpc
