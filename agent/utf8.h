#pragma once
// Text from the filesystem (names, link targets, account names) is arbitrary bytes; a JSON
// reply must be valid UTF-8 or the host rejects the whole line. validUtf8 keeps valid text
// as it is and replaces each invalid byte with U+FFFD.

#include <string>
#include <string_view>

namespace quorvale::agent {

bool isValidUtf8(std::string_view text);
std::string validUtf8(std::string_view text);

}  // namespace quorvale::agent
