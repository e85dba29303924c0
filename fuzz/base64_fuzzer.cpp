// Base64 against a plain reference: the table-driven decoder must accept exactly the canonical
// padded texts the reference accepts and yield the same bytes, write no further than the room
// it documents, and encoding must round-trip both ways.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rpc/base64.h"

namespace {

using namespace quorvale;

[[noreturn]] void fail(const char* why, std::string_view text) {
    std::fprintf(stderr, "fuzz check failed: %s: \"%.*s\"\n", why, static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

int value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// One character at a time: groups of four, "=" only as the last one or two characters, and
// the unused low bits of the last group zero.
std::optional<std::string> reference(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0)
                return std::nullopt;  // a character after "="
            v[k] = value(c);
            if (v[k] < 0)
                return std::nullopt;
        }
        const std::uint32_t bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        if ((padding == 1 && (bits & 0xFF) != 0) || (padding == 2 && (bits & 0xFFFF) != 0))
            return std::nullopt;
        out += static_cast<char>(bits >> 16);
        if (padding < 2)
            out += static_cast<char>((bits >> 8) & 0xFF);
        if (padding < 1)
            out += static_cast<char>(bits & 0xFF);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto decoded = rpc::base64Decode(text);
    const auto expected = reference(text);
    if (decoded.has_value() != expected.has_value())
        fail(decoded ? "accepted a text the reference refuses" : "refused a canonical text", text);
    if (decoded && *decoded != *expected)
        fail("decoded other bytes than the reference", text);

    // Into exactly the documented room, on the heap so that a write past it is seen.
    const std::size_t room = text.size() / 4 * 3;
    const auto out = std::make_unique<char[]>(room + (room == 0));
    const auto written = rpc::base64DecodeTo(text, out.get());
    if (written.has_value() != decoded.has_value() || (written && *written != decoded->size()) ||
        (written && std::memcmp(out.get(), decoded->data(), *written) != 0))
        fail("decoding into a buffer differs from decoding into a string", text);

    if (decoded && rpc::base64Encode(*decoded) != text)
        fail("a decoded text does not encode back to itself", text);
    const std::string encoded = rpc::base64Encode(text);
    if (encoded.size() != rpc::base64EncodedSize(text.size()))
        fail("encoded size differs from base64EncodedSize", text);
    const auto back = rpc::base64Decode(encoded);
    if (!back || *back != text)
        fail("bytes do not survive encoding and decoding", text);
    return 0;
}
