#pragma once
// Descriptors passed beside the bytes of a Unix socket message (SCM_RIGHTS), for the helper
// daemon and its clients.

#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::rpc {

// Control data with room for one descriptor.
struct OneFdControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int))] = {};
};

// Sends `fd` with `msg`; `control` must outlive the sendmsg call.
inline void attachFd(msghdr& msg, OneFdControl& control, int fd) {
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &fd, sizeof fd);
}

// Every descriptor received with `msg`, owned, in order.
inline std::vector<UniqueFd> takeFds(msghdr& msg) {
    std::vector<UniqueFd> owned;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            owned.emplace_back(fd);
        }
    }
    return owned;
}

}  // namespace quorvale::rpc
