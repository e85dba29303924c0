#pragma once
// The exclusive descriptors the helper handed to one connection, each kept as a copy of its own
// for as long as the connection lasts or until the client lets go of that disk. A copy is the
// only proof "open_held_disk" accepts: the descriptor passed with it must be the very open file
// handed out here (kcmp KCMP_FILE), so a descriptor of another connection, of another user, a
// writable one the helper opened beside a claim, or a fresh open of the node never counts. The
// copy also keeps the kernel's exclusive claim alive, so the disk cannot be mounted anywhere
// nor claimed by anybody else while the proof stands. The medium's sequence number is taken
// when the descriptor is handed out: a card swapped in its reader meanwhile has another one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::helper {

struct HandedDisk {
    std::string name;
    UniqueFd file;                          // a copy of the descriptor handed out
    std::optional<std::uint64_t> sequence;  // the medium's number then (BLKGETDISKSEQ)
};

class DiskClaims {
public:
    static constexpr std::size_t maxClaims = 16;

    // Throws Refusal when the connection holds maxClaims disks already.
    void checkRoom() const;
    // Keeps a copy of `handed`, the exclusive descriptor of `name` about to go out.
    void remember(const std::string& name, int handed);
    // Drops the connection's claim on `name`, if any; true when there was one.
    bool release(std::string_view name);
    // The claim on `name` whose open file `passed` is. Throws Refusal otherwise.
    const HandedDisk& proof(std::string_view name, int passed) const;
    bool empty() const { return claims_.empty(); }

private:
    std::vector<HandedDisk> claims_;
};

// The kernel's sequence number of the disk behind `fd`: new for every disk that appears, every
// medium change and every loop device attached. Nothing where the kernel predates it.
std::optional<std::uint64_t> diskSequence(int fd);

}  // namespace quorvale::helper
