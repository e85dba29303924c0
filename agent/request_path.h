#pragma once
// RequestPath: a path as the host sends it ("/docs/report.txt"), checked and split before any
// file is touched. It must be absolute; empty components ("//") are skipped; "." and ".."
// components, NUL bytes and over-long names are refused. `relative` is the root-relative form
// used with openat2 ("." for the root itself); `display` is the normalised absolute form used
// in replies and error messages.

#include <string>
#include <string_view>
#include <vector>

namespace quorvale::agent {

struct RequestPath {
    std::vector<std::string> components;
    std::string display;   // "/docs/report.txt", "/" for the root
    std::string relative;  // "docs/report.txt", "." for the root

    // Throws AgentError(invalidParams) naming `member` when `path` is not acceptable.
    static RequestPath parse(std::string_view path, std::string_view member = "path");

    bool isRoot() const { return components.empty(); }
    // The containing directory; the root is its own parent.
    RequestPath parent() const;
    // Last component; empty for the root.
    const std::string& leaf() const;
    // This path with one more component (a name already checked by checkName).
    RequestPath child(std::string_view name) const;
};

// Throws AgentError(invalidParams) naming `member` unless `name` is a single directory entry
// name: not empty, not "." or "..", without "/" or NUL, at most 255 bytes.
void checkName(std::string_view name, std::string_view member);

// True when `name` is a usable single entry name (see checkName).
bool isValidName(std::string_view name);

}  // namespace quorvale::agent
