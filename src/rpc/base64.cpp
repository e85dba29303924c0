#include "rpc/base64.h"

#include <array>
#include <cstdint>

#include "rpc/large_buffer.h"

namespace quorvale::rpc {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& t : table)
        t = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = std::int8_t(i);
    return table;
}
constexpr auto kDecode = makeDecodeTable();

}  // namespace

std::string base64Encode(std::string_view bytes) {
    std::string out;
    reserveLarge(out, base64EncodedSize(bytes.size()));
    out.resize(base64EncodedSize(bytes.size()));
    base64EncodeTo(bytes, out.data());
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    std::string out;
    reserveLarge(out, text.size() / 4 * 3);
    out.resize(text.size() / 4 * 3);
    const std::optional<std::size_t> size = base64DecodeTo(text, out.data());
    if (!size)
        return std::nullopt;
    out.resize(*size);
    return out;
}

void base64EncodeTo(std::string_view bytes, char* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    char* o = out;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = in[i] << 16;
        if (rest == 2)
            v |= in[i + 1] << 8;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
}

std::optional<std::size_t> base64DecodeTo(std::string_view text, char* out) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    char* o = out;
    const std::size_t full = padding ? text.size() - 4 : text.size();
    for (std::size_t i = 0; i < full; i += 4) {
        const int a = kDecode[in[i]], b = kDecode[in[i + 1]], c = kDecode[in[i + 2]],
                  d = kDecode[in[i + 3]];
        if ((a | b | c | d) < 0)
            return std::nullopt;
        const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        *o++ = char(v >> 16);
        *o++ = char((v >> 8) & 0xFF);
        *o++ = char(v & 0xFF);
    }
    if (padding) {
        const std::size_t i = full;
        const int a = kDecode[in[i]], b = kDecode[in[i + 1]];
        const int c = padding == 1 ? kDecode[in[i + 2]] : 0;
        if ((a | b | c) < 0)
            return std::nullopt;
        const std::uint32_t v = (a << 18) | (b << 12) | (c << 6);
        // Canonical form: the bits below the last encoded byte must be zero.
        if (padding == 2 ? (v & 0xFFFF) != 0 : (v & 0xFF) != 0)
            return std::nullopt;
        *o++ = char(v >> 16);
        if (padding == 1)
            *o++ = char((v >> 8) & 0xFF);
    }
    return static_cast<std::size_t>(o - out);
}

}  // namespace quorvale::rpc
