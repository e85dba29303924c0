#pragma once
// Text from a filesystem (names, link targets, labels) is arbitrary bytes; JSON carries only
// valid UTF-8.
//
// validUtf8 keeps valid text as it is and replaces each invalid byte with U+FFFD: for text that
// is only shown (labels, account names).
//
// Names are handles as well as text, so they travel with an escape that keeps every name
// distinct and reversible: escapeName leaves valid UTF-8 as it is and turns each byte that is
// not part of valid UTF-8 into one character of the Private Use Area, U+F780 + (byte - 0x80)
// (such bytes are always 0x80 and above). A name whose own characters fall in U+F780..U+F7FF
// has their bytes escaped too, so every character of that range stands for one byte and
// unescapeName(escapeName(bytes)) == bytes for any bytes. readableName shows each escaped byte,
// and each control character, as "\xNN" for people.

#include <string>
#include <string_view>

namespace quorvale::rpc {

bool isValidUtf8(std::string_view text);
std::string validUtf8(std::string_view text);

// Bytes -> valid UTF-8 (see above).
std::string escapeName(std::string_view bytes);
// Valid UTF-8 -> bytes: each character of U+F780..U+F7FF becomes its byte.
std::string unescapeName(std::string_view text);
// Escaped text with each escaped byte and each control character (C0, DEL, C1) written "\xNN"
// (upper-case hex); all else as it is.
std::string readableName(std::string_view text);

}  // namespace quorvale::rpc
