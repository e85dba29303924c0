#include "helper/disk_claims.h"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "helper/refusal.h"

#ifndef BLKGETDISKSEQ
#define BLKGETDISKSEQ _IOR(0x12, 128, __u64)
#endif

namespace quorvale::helper {

std::optional<std::uint64_t> diskSequence(int fd) {
    __u64 sequence = 0;
    if (::ioctl(fd, BLKGETDISKSEQ, &sequence) != 0)
        return std::nullopt;
    return sequence;
}

void DiskClaims::checkRoom() const {
    if (claims_.size() >= maxClaims)
        throw Refusal(Refusal::Kind::failed, "Too many disks held through one connection");
}

void DiskClaims::remember(const std::string& name, int handed) {
    checkRoom();
    UniqueFd copy(::fcntl(handed, F_DUPFD_CLOEXEC, 0));
    if (!copy)
        throw Refusal(Refusal::Kind::failed,
                      "Cannot keep the claim on " + name + ": " + std::strerror(errno));
    const auto sequence = diskSequence(copy.get());
    claims_.push_back({name, std::move(copy), sequence});
}

bool DiskClaims::release(std::string_view name) {
    return std::erase_if(claims_, [&](const HandedDisk& claim) { return claim.name == name; }) > 0;
}

const HandedDisk& DiskClaims::proof(std::string_view name, int passed) const {
    const auto claim = std::find_if(claims_.begin(), claims_.end(),
                                    [&](const HandedDisk& held) { return held.name == name; });
    if (claim == claims_.end()) {
        throw Refusal(Refusal::Kind::notAllowed,
                      std::string(name) +
                          " is not held through this connection: open it with open_disk first");
    }
    const pid_t self = ::getpid();
    const long same = ::syscall(SYS_kcmp, self, self, KCMP_FILE, passed, claim->file.get());
    if (same < 0)
        throw Refusal(Refusal::Kind::failed,
                      std::string("Cannot compare the descriptor passed: ") + std::strerror(errno));
    if (same != 0) {
        throw Refusal(Refusal::Kind::notAllowed,
                      "The descriptor passed is not the one handed out "
                      "for " +
                          std::string(name) + " on this connection");
    }
    return *claim;
}

}  // namespace quorvale::helper
