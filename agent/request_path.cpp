#include "agent/request_path.h"

#include <algorithm>

#include "agent/agent_error.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

constexpr std::size_t maxNameBytes = 255;
constexpr std::size_t maxPathBytes = 4095;

RequestPath fromComponents(std::vector<std::string> components) {
    RequestPath p;
    p.components = std::move(components);
    if (p.components.empty()) {
        p.display = "/";
        p.relative = ".";
        return p;
    }
    for (const auto& c : p.components) {
        if (!p.relative.empty())
            p.relative += '/';
        p.relative += c;
        p.display += '/';
        p.display += escapeName(c);
    }
    return p;
}

}  // namespace

bool isValidName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= maxNameBytes &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string parseName(std::string_view name, std::string_view member) {
    auto bytes = unescapeName(name);
    if (!isValidName(bytes)) {
        throw AgentError::invalidParams("\"" + std::string(member) + "\" is not a valid name: \"" +
                                        std::string(name) + "\"");
    }
    return bytes;
}

RequestPath RequestPath::parse(std::string_view path, std::string_view member) {
    const auto refuse = [&](std::string_view why) {
        return AgentError::invalidParams("\"" + std::string(member) + "\" " + std::string(why) +
                                         ": \"" + std::string(path) + "\"");
    };
    if (path.empty() || path.front() != '/')
        throw refuse("must be an absolute path");
    if (path.size() > maxPathBytes)
        throw refuse("is too long");
    if (path.find('\0') != std::string_view::npos)
        throw refuse("contains a NUL byte");

    std::vector<std::string> components;
    std::size_t pos = 0;
    while (pos < path.size()) {
        const auto end = std::min(path.find('/', pos), path.size());
        const auto part = path.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty())
            continue;
        if (part == "." || part == "..")
            throw refuse("must not contain \".\" or \"..\"");
        auto bytes = unescapeName(part);
        if (bytes.size() > maxNameBytes)
            throw refuse("has a name longer than 255 bytes");
        components.push_back(std::move(bytes));
    }
    return fromComponents(std::move(components));
}

RequestPath RequestPath::parent() const {
    if (components.empty())
        return *this;
    return fromComponents({components.begin(), components.end() - 1});
}

const std::string& RequestPath::leaf() const {
    static const std::string none;
    return components.empty() ? none : components.back();
}

RequestPath RequestPath::child(std::string_view name) const {
    auto next = components;
    next.emplace_back(name);
    return fromComponents(std::move(next));
}

}  // namespace quorvale::agent
