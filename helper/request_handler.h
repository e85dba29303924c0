#pragma once
// Turns one request line from one peer into exactly one reply line, plus the descriptor that
// travels with it for "open_disk". Methods: "ping" -> true, "get_version" -> text,
// "open_disk" {"bsd_name", "read_only"} -> {"fd_count": 1} with the disk's descriptor attached,
// "open_held_disk" {"bsd_name"} with the caller's descriptor of that disk passed beside the
// request -> {"fd_count": 1} with a writable descriptor (DiskAccess::openHeld),
// "eject_disk" {"bsd_name"} -> true. Descriptors passed with any other request are closed.
// Every request is authorised first and leaves one audit line on stderr.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "helper/disk_access.h"
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

    Reply handle(std::string_view line, const PeerCredentials& peer, PassedFds passed = {}) const;
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
    // Parameters, descriptors passed in, and the descriptor to pass back.
    using Method = boost::json::value (RequestHandler::*)(const rpc::Params&, PassedFds&,
                                                          UniqueFd&) const;
    static const std::map<std::string, Method, std::less<>>& methods();

    boost::json::value ping(const rpc::Params&, PassedFds&, UniqueFd&) const;
    boost::json::value getVersion(const rpc::Params&, PassedFds&, UniqueFd&) const;
    boost::json::value openDisk(const rpc::Params& params, PassedFds&, UniqueFd& fd) const;
    boost::json::value openHeldDisk(const rpc::Params& params, PassedFds& passed,
                                    UniqueFd& fd) const;
    boost::json::value ejectDisk(const rpc::Params& params, PassedFds&, UniqueFd& fd) const;

    DiskAccess disks_;
    PeerAuthorizer authorizer_;
};

// One line on stderr; control characters in `detail` are escaped.
void audit(const PeerCredentials& peer, std::string_view method, std::string_view detail,
           std::string_view outcome);

}  // namespace quorvale::helper
