#pragma once
// The one error the daemon answers a request with: its text goes back to the client as the
// JSON-RPC error message. Refusals of permission carry the "ACCESS_DENIED:" prefix that the
// client maps to its access-denied case; every other text is shown to the user as it stands.

#include <string>

#include "rpc/error.h"

namespace quorvale::helper {

class Refusal : public Error {
public:
    enum class Kind {
        accessDenied,    // caller not authorised, or the kernel refused the open
        invalidRequest,  // bad name or parameters
        notAllowed,      // not a whole removable disk
        inUse,           // mounted on the host, held by another driver, or opened exclusively
        writeProtected,  // read-write open of a write-protected card
        notFound,        // no such disk
        failed           // any other system error
    };

    static constexpr const char* accessDeniedPrefix = "ACCESS_DENIED: ";

    Refusal(Kind kind, const std::string& text)
        : Error(kind == Kind::accessDenied ? accessDeniedPrefix + text : text), kind(kind) {}

    Kind kind;
};

}  // namespace quorvale::helper
