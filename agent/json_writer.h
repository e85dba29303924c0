#pragma once
// Appends JSON text to a string directly, for replies too large to build as a tree first
// (a listing of 100,000 entries). Strings must already be valid UTF-8 (see validUtf8).

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale::agent {

void appendJSONString(std::string& out, std::string_view text);
void appendJSONNumber(std::string& out, std::int64_t value);
void appendJSONNumber(std::string& out, double value);
inline void appendJSONBool(std::string& out, bool value) {
    out += value ? "true" : "false";
}

}  // namespace quorvale::agent
