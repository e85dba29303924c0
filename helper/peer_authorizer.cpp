#include "helper/peer_authorizer.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "helper/refusal.h"

namespace quorvale::helper {

namespace {

std::vector<char> lookupBuffer() {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    return std::vector<char>(size > 0 ? static_cast<std::size_t>(size) : 16384);
}

bool allowedGroupId(const std::string& name, gid_t& gid) {
    std::vector<char> buffer = lookupBuffer();
    struct group entry {};
    struct group* found = nullptr;
    int rc = 0;
    while ((rc = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
           ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || !found)
        return false;
    gid = found->gr_gid;
    return true;
}

}  // namespace

PeerCredentials peerCredentials(int socketFd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    PeerCredentials peer;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred) {
        peer.pid = cred.pid;
        peer.uid = cred.uid;
        peer.gid = cred.gid;
    }
    return peer;
}

void PeerAuthorizer::authorize(const PeerCredentials& peer) const {
    if (peer.uid == 0)
        return;
    if (peer.uid == static_cast<uid_t>(-1))
        throw Refusal(Refusal::Kind::accessDenied, "caller credentials unavailable");

    std::vector<char> buffer = lookupBuffer();
    struct passwd entry {};
    struct passwd* user = nullptr;
    int rc = 0;
    while ((rc = ::getpwuid_r(peer.uid, &entry, buffer.data(), buffer.size(), &user)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    const std::string denied =
        "user " + std::to_string(peer.uid) + " is not a member of the " + group_ + " group";
    if (rc != 0 || !user)
        throw Refusal(Refusal::Kind::accessDenied, denied);

    gid_t allowed = 0;
    if (!allowedGroupId(group_, allowed))
        throw Refusal(Refusal::Kind::accessDenied, "the group " + group_ + " does not exist");

    std::vector<gid_t> groups(32);
    int count = static_cast<int>(groups.size());
    while (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) + 32);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    if (std::find(groups.begin(), groups.end(), allowed) == groups.end())
        throw Refusal(Refusal::Kind::accessDenied, denied);
}

}  // namespace quorvale::helper
