#pragma once
// Decides from a connected peer's credentials whether it may use the helper: root always, any
// other user only while the group database lists it in the allowed group (its primary group
// included). The database is read afresh for every decision, so a grant takes effect at once.

#include <sys/types.h>

#include <string>

namespace quorvale::helper {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};

// SO_PEERCRED of a connected Unix socket; nothing valid on failure (uid -1).
PeerCredentials peerCredentials(int socketFd);

class PeerAuthorizer {
public:
    explicit PeerAuthorizer(std::string group) : group_(std::move(group)) {}

    const std::string& group() const { return group_; }
    // Throws Refusal(accessDenied) when the peer may not use the helper.
    void authorize(const PeerCredentials& peer) const;

private:
    std::string group_;
};

}  // namespace quorvale::helper
