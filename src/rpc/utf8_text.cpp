#include "rpc/utf8_text.h"

#include <cstdint>

namespace quorvale::rpc {

namespace {

constexpr std::uint32_t escapeFirst = 0xF780;  // stands for byte 0x80
constexpr std::uint32_t escapeLast = 0xF7FF;   // stands for byte 0xFF

struct Sequence {
    std::size_t length;  // 0 when not valid
    std::uint32_t codePoint;
};

// The valid UTF-8 sequence starting at `i` (overlong forms, surrogates and code points above
// U+10FFFF are invalid).
Sequence sequenceAt(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80)
        return {1, b0};
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        n = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        n = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        n = 4;
        cp = b0 & 0x07;
    } else {
        return {0, 0};
    }
    if (i + n > s.size())
        return {0, 0};
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return {0, 0};
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {0, 0};
    return {n, cp};
}

bool isEscape(std::uint32_t codePoint) {
    return codePoint >= escapeFirst && codePoint <= escapeLast;
}

// Appends the escape character of `byte` (0x80..0xFF): three bytes of UTF-8.
void appendEscape(std::string& out, std::uint8_t byte) {
    const std::uint32_t cp = escapeFirst + (byte - 0x80u);
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto n = sequenceAt(text, i).length;
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string validUtf8(std::string_view text) {
    if (isValidUtf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        const auto n = sequenceAt(text, i).length;
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string escapeName(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto [n, cp] = sequenceAt(bytes, i);
        if (n > 0 && !isEscape(cp)) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        }
        // An invalid byte, or the bytes of a character that would read as escapes.
        for (const std::size_t end = i + (n > 0 ? n : 1); i < end; ++i)
            appendEscape(out, static_cast<std::uint8_t>(bytes[i]));
    }
    return out;
}

std::string unescapeName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto [n, cp] = sequenceAt(text, i);
        if (n == 0) {
            out += text[i++];  // not UTF-8 at all: kept as it is
            continue;
        }
        if (isEscape(cp))
            out += static_cast<char>(0x80 + (cp - escapeFirst));
        else
            out.append(text.substr(i, n));
        i += n;
    }
    return out;
}

std::string readableName(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto [n, cp] = sequenceAt(text, i);
        if (n == 0) {
            out += text[i++];
            continue;
        }
        const bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
        if (isEscape(cp) || control) {
            const auto byte = isEscape(cp) ? 0x80 + (cp - escapeFirst) : cp;
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

}  // namespace quorvale::rpc
