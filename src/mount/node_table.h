#pragma once
// NodeTable: the entries the kernel knows on a mount, and the guest path of each. A node's id
// is its inode number in the guest (the partition's root is node 1, as FUSE wants), so the
// names of a file with several links are one node. Each node keeps the names it is known by
// (folder node and name, as bytes) and the kernel's lookup count; it goes when the kernel
// forgets it. Paths are built from the root down, escaped as names travel to the agent.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::mount {

class NodeTable {
public:
    static constexpr std::uint64_t rootId = 1;

    // `rootInode` is the guest's inode number of the partition's root.
    explicit NodeTable(std::uint64_t rootInode = 2) : rootInode_(rootInode) {}

    // The node id of the guest inode `inode`, and back.
    std::uint64_t idOf(std::uint64_t inode) const;
    std::uint64_t inodeOf(std::uint64_t id) const;

    // The kernel learnt the entry `name` of `parent` as node `id` (one more lookup).
    void remember(std::uint64_t parent, std::string_view name, std::uint64_t id);
    // The kernel dropped `count` lookups of `id`.
    void forget(std::uint64_t id, std::uint64_t count);
    // The name no longer exists (unlinked, or replaced by a rename).
    void dropName(std::uint64_t parent, std::string_view name);
    // A rename: the node at `from` is now at `to` (what was at `to` loses that name).
    void rename(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
                std::string_view newName);
    // An exchange: the nodes at the two names swap them.
    void exchange(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
                  std::string_view newName);

    // The escaped guest path of node `id` ("/" for the root); nothing when no name of it leads
    // to the root any more.
    std::optional<std::string> path(std::uint64_t id) const;
    // The escaped guest path of the entry `name` of folder `parent`.
    std::optional<std::string> childPath(std::uint64_t parent, std::string_view name) const;
    // The node known at `name` of `parent`, if any.
    std::optional<std::uint64_t> find(std::uint64_t parent, std::string_view name) const;
    std::size_t size() const { return nodes_.size(); }

private:
    using Name = std::pair<std::uint64_t, std::string>;  // folder node, bytes
    struct Node {
        std::uint64_t lookups = 0;
        std::vector<Name> names;  // most recent first
    };

    std::optional<std::string> pathFrom(std::uint64_t id, int depth) const;

    std::uint64_t rootInode_;
    std::map<std::uint64_t, Node> nodes_;
    std::map<Name, std::uint64_t> byName_;
};

}  // namespace quorvale::mount
