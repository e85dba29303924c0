#pragma once
// RequestPath: a path as the host sends it ("/docs/report.txt"), checked and split before any
// file is touched. It must be absolute; empty components ("//") are skipped; "." and ".."
// components, NUL bytes and over-long names are refused. Names travel escaped (see
// rpc/utf8_text.h): `components` and `relative` hold the bytes on the disk, `relative` being
// the root-relative form used with openat2 ("." for the root itself); `display` is the
// normalised absolute form in the wire's escaped text, used in replies and error messages.

#include <string>
#include <string_view>
#include <vector>

namespace quorvale::agent {

struct RequestPath {
    std::vector<std::string> components;  // bytes
    std::string display;                  // "/docs/report.txt", "/" for the root
    std::string relative;                 // "docs/report.txt", "." for the root

    // Throws AgentError(invalidParams) naming `member` when `path` is not acceptable.
    static RequestPath parse(std::string_view path, std::string_view member = "path");

    bool isRoot() const { return components.empty(); }
    // The containing directory; the root is its own parent.
    RequestPath parent() const;
    // Last component; empty for the root.
    const std::string& leaf() const;
    // This path with one more component (bytes, already checked by parseName).
    RequestPath child(std::string_view name) const;
};

// The bytes of the escaped name `name`; throws AgentError(invalidParams) naming `member` unless
// they are a single directory entry name: not empty, not "." or "..", without "/" or NUL, at
// most 255 bytes.
std::string parseName(std::string_view name, std::string_view member);

// True when `name` is a usable single entry name (see parseName).
bool isValidName(std::string_view name);

}  // namespace quorvale::agent
