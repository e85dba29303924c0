#pragma once
// Turns one request line from one peer into exactly one reply line, plus the descriptor that
// travels with it. Methods: "ping" -> true, "get_version" -> text,
// "open_disk" {"bsd_name", "read_only"} -> {"fd_count": 1} with the disk's exclusive descriptor
// attached, which the connection's claims keep (DiskClaims);
// "open_held_disk" {"bsd_name"} with that very descriptor passed beside the request, on the
// connection it was handed to -> {"fd_count": 1} with a writable descriptor (DiskAccess::openHeld);
// "release_disk" {"bsd_name"} -> true once the connection's claim on the disk is dropped;
// "eject_disk" {"bsd_name"} -> true. "open_disk" and "eject_disk" drop the connection's earlier
// claim on the disk first. Descriptors passed with any other request are closed.
// Every request is authorised first and leaves one audit line on stderr.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "helper/disk_access.h"
#include "helper/disk_claims.h"
#include "helper/peer_authorizer.h"
#include "helper/refusal.h"
#include "rpc/any_codable.h"
#include "rpc/unique_fd.h"

namespace quorvale::helper {

struct Reply {
    std::string line;  // without the newline
    UniqueFd fd;       // passed with SCM_RIGHTS when valid
};

// The descriptors that came with one request line (SCM_RIGHTS).
struct PassedFds {
    static constexpr std::size_t maxFds = 4;
    std::vector<UniqueFd> fds;
    bool overflowed = false;  // more came than maxFds, or the kernel cut them short: extras closed
};

class RequestHandler {
public:
    RequestHandler(DiskAccess disks, PeerAuthorizer authorizer)
        : disks_(std::move(disks)), authorizer_(std::move(authorizer)) {}

    // `claims` are those of the connection the line came on.
    Reply handle(std::string_view line, const PeerCredentials& peer, DiskClaims& claims,
                 PassedFds passed = {}) const;
    // Throws Refusal(accessDenied) when the peer may not use the helper.
    void authorize(const PeerCredentials& peer) const { authorizer_.authorize(peer); }

    // Replies that end a connection; each is logged. They answer no request, so carry no id:
    // the peer was turned away as it connected,
    static Reply connectionRefused(const PeerCredentials& peer, const Refusal& refusal);
    // a line grew past the length limit,
    static Reply lineTooLong(const PeerCredentials& peer);
    // or a line was not completed in time.
    static Reply requestTimedOut(const PeerCredentials& peer);

private:
    // One request's descriptors passed in, its connection's claims, the descriptor to pass back.
    struct Exchange {
        PassedFds passed;
        DiskClaims& claims;
        UniqueFd reply;
    };
    using Method = boost::json::value (RequestHandler::*)(const rpc::Params&, Exchange&) const;
    static const std::map<std::string, Method, std::less<>>& methods();

    boost::json::value ping(const rpc::Params&, Exchange&) const;
    boost::json::value getVersion(const rpc::Params&, Exchange&) const;
    boost::json::value openDisk(const rpc::Params& params, Exchange& exchange) const;
    boost::json::value openHeldDisk(const rpc::Params& params, Exchange& exchange) const;
    boost::json::value releaseDisk(const rpc::Params& params, Exchange& exchange) const;
    boost::json::value ejectDisk(const rpc::Params& params, Exchange& exchange) const;

    DiskAccess disks_;
    PeerAuthorizer authorizer_;
};

// One line on stderr; control characters in `detail` are escaped.
void audit(const PeerCredentials& peer, std::string_view method, std::string_view detail,
           std::string_view outcome);

}  // namespace quorvale::helper
