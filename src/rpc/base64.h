#pragma once
// Strict standard base64 (RFC 4648 alphabet, "=" padding, no line breaks or whitespace).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::rpc {

std::string base64Encode(std::string_view bytes);
// Nothing for any input that is not canonical padded base64.
std::optional<std::string> base64Decode(std::string_view text);

// The same into caller-owned storage, for large transfers that reuse their buffers.
constexpr std::size_t base64EncodedSize(std::size_t bytes) {
    return (bytes + 2) / 3 * 4;
}
// Writes exactly base64EncodedSize(bytes.size()) characters.
void base64EncodeTo(std::string_view bytes, char* out);
// `out` holds at least text.size() / 4 * 3 bytes; returns the decoded size, or nothing (with
// `out` partly written) for input that base64Decode refuses.
std::optional<std::size_t> base64DecodeTo(std::string_view text, char* out);

}  // namespace quorvale::rpc
