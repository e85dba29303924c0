#include "rpc/base64.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

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

// Two output characters for every 12 bits, in memory order.
constexpr std::array<std::uint16_t, 4096> makePairTable() {
    std::array<std::uint16_t, 4096> table{};
    for (int i = 0; i < 4096; ++i) {
        const auto first = static_cast<unsigned char>(kAlphabet[i >> 6]);
        const auto second = static_cast<unsigned char>(kAlphabet[i & 63]);
        table[i] = std::endian::native == std::endian::little
                       ? static_cast<std::uint16_t>(first | (second << 8))
                       : static_cast<std::uint16_t>((first << 8) | second);
    }
    return table;
}
constexpr auto kPairs = makePairTable();

// The 6 bits of a character already moved to their place in the 24-bit group at `position`
// (0 for the first character); bit 31 marks a character outside the alphabet.
constexpr std::array<std::uint32_t, 256> makeShiftedTable(int position) {
    std::array<std::uint32_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const int value = kDecode[c];
        table[c] =
            value < 0 ? 0x80000000u : static_cast<std::uint32_t>(value) << (18 - 6 * position);
    }
    return table;
}
constexpr auto kDecode0 = makeShiftedTable(0);
constexpr auto kDecode1 = makeShiftedTable(1);
constexpr auto kDecode2 = makeShiftedTable(2);
constexpr auto kDecode3 = makeShiftedTable(3);

// The 12 bits of every pair of characters, indexed by the pair as it lies in memory (the first
// character in the low byte); bit 31 marks a pair with a character outside the alphabet. Built
// on first use: 256 KiB the program does not carry.
const std::uint32_t* pairDecodeTable() {
    static const std::unique_ptr<std::uint32_t[]> table = [] {
        auto t = std::make_unique<std::uint32_t[]>(65536);
        for (unsigned pair = 0; pair < 65536; ++pair) {
            const int first = kDecode[pair & 0xFF], second = kDecode[pair >> 8];
            t[pair] = (first | second) < 0 ? 0x80000000u
                                           : static_cast<std::uint32_t>((first << 6) | second);
        }
        return t;
    }();
    return table.get();
}

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
        const std::uint16_t pairs[2] = {kPairs[v >> 12], kPairs[v & 0xFFF]};
        std::memcpy(o, pairs, sizeof pairs);
        o += 4;
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
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Eight characters at a time: one load, four pair lookups, one store of eight bytes,
        // the last two of which the next group overwrites; so a group must follow. Under
        // emulation memory accesses are what costs, and this needs a quarter of them.
        const std::uint32_t* pairs = pairDecodeTable();
        for (; i + 12 <= full; i += 8) {
            std::uint64_t chars;
            std::memcpy(&chars, in + i, sizeof chars);
            const std::uint32_t a = pairs[chars & 0xFFFF], b = pairs[(chars >> 16) & 0xFFFF],
                                c = pairs[(chars >> 32) & 0xFFFF], d = pairs[chars >> 48];
            if ((a | b | c | d) & 0x80000000u)
                return std::nullopt;
            const std::uint64_t bits = (std::uint64_t{a} << 52) | (std::uint64_t{b} << 40) |
                                       (std::uint64_t{c} << 28) | (std::uint64_t{d} << 16);
            const std::uint64_t bytes = __builtin_bswap64(bits);
            std::memcpy(o, &bytes, sizeof bytes);
            o += 6;
        }
    }
    for (; i < full; i += 4) {
        const std::uint32_t v =
            kDecode0[in[i]] | kDecode1[in[i + 1]] | kDecode2[in[i + 2]] | kDecode3[in[i + 3]];
        if (v & 0x80000000u)
            return std::nullopt;
        const char group[3] = {char(v >> 16), char((v >> 8) & 0xFF), char(v & 0xFF)};
        std::memcpy(o, group, sizeof group);
        o += 3;
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
