#include "mount/node_table.h"

#include <algorithm>

#include "rpc/utf8_text.h"

namespace quorvale::mount {

namespace {

// Deeper than any path the agent takes (4095 bytes): a cycle of names cannot hang a lookup.
constexpr int maxDepth = 2048;

}  // namespace

std::uint64_t NodeTable::idOf(std::uint64_t inode) const {
    if (inode == rootInode_)
        return rootId;
    return inode == rootId ? rootInode_ : inode;
}

std::uint64_t NodeTable::inodeOf(std::uint64_t id) const {
    return idOf(id);  // the mapping is its own inverse
}

void NodeTable::remember(std::uint64_t parent, std::string_view name, std::uint64_t id) {
    if (id == rootId)
        return;
    Name key{parent, std::string(name)};
    const auto known = byName_.find(key);
    if (known != byName_.end() && known->second != id)
        dropName(parent, name);
    Node& node = nodes_[id];
    ++node.lookups;
    auto& names = node.names;
    const auto it = std::find(names.begin(), names.end(), key);
    if (it != names.end())
        names.erase(it);
    names.insert(names.begin(), key);
    byName_[std::move(key)] = id;
}

void NodeTable::forget(std::uint64_t id, std::uint64_t count) {
    const auto it = nodes_.find(id);
    if (it == nodes_.end())
        return;
    it->second.lookups -= std::min(count, it->second.lookups);
    if (it->second.lookups > 0)
        return;
    for (const auto& name : it->second.names)
        byName_.erase(name);
    nodes_.erase(it);
}

void NodeTable::dropName(std::uint64_t parent, std::string_view name) {
    const Name key{parent, std::string(name)};
    const auto it = byName_.find(key);
    if (it == byName_.end())
        return;
    const auto node = nodes_.find(it->second);
    if (node != nodes_.end())
        std::erase(node->second.names, key);
    byName_.erase(it);
}

void NodeTable::rename(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
                       std::string_view newName) {
    const auto moved = find(parent, name);
    dropName(newParent, newName);
    dropName(parent, name);
    if (!moved)
        return;
    const auto node = nodes_.find(*moved);
    if (node == nodes_.end())
        return;
    Name key{newParent, std::string(newName)};
    node->second.names.insert(node->second.names.begin(), key);
    byName_[std::move(key)] = *moved;
}

void NodeTable::exchange(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
                         std::string_view newName) {
    const auto first = find(parent, name);
    const auto second = find(newParent, newName);
    dropName(parent, name);
    dropName(newParent, newName);
    const auto give = [&](std::optional<std::uint64_t> id, std::uint64_t folder,
                          std::string_view leaf) {
        if (!id || !nodes_.contains(*id))
            return;
        Name key{folder, std::string(leaf)};
        auto& names = nodes_[*id].names;
        names.insert(names.begin(), key);
        byName_[std::move(key)] = *id;
    };
    give(first, newParent, newName);
    give(second, parent, name);
}

std::optional<std::uint64_t> NodeTable::find(std::uint64_t parent, std::string_view name) const {
    const auto it = byName_.find(Name{parent, std::string(name)});
    if (it == byName_.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::string> NodeTable::pathFrom(std::uint64_t id, int depth) const {
    if (id == rootId)
        return std::string();
    if (depth > maxDepth)
        return std::nullopt;
    const auto it = nodes_.find(id);
    if (it == nodes_.end())
        return std::nullopt;
    for (const auto& [parent, name] : it->second.names) {
        if (auto above = pathFrom(parent, depth + 1))
            return *above + "/" + rpc::escapeName(name);
    }
    return std::nullopt;
}

std::optional<std::string> NodeTable::path(std::uint64_t id) const {
    auto p = pathFrom(id, 0);
    if (p && p->empty())
        return std::string("/");
    return p;
}

std::optional<std::string> NodeTable::childPath(std::uint64_t parent, std::string_view name) const {
    const auto above = pathFrom(parent, 0);
    if (!above)
        return std::nullopt;
    return *above + "/" + rpc::escapeName(name);
}

}  // namespace quorvale::mount
