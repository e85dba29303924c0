#pragma once
// Errors of the JSON-RPC transport to the guest agent; what() is the user-facing description.

#include "rpc/error.h"

namespace quorvale::guest {

class VsockError : public Error {
public:
    enum class Kind { notConnected, disconnected, timeout, invalidResponse };

    explicit VsockError(Kind kind) : Error(description(kind)), kind(kind) {}

    static const char* description(Kind kind) {
        switch (kind) {
            case Kind::notConnected:
                return "Vsock not connected";
            case Kind::disconnected:
                return "Vsock disconnected";
            case Kind::timeout:
                return "Vsock request timed out";
            case Kind::invalidResponse:
                break;
        }
        return "Invalid RPC response";
    }

    Kind kind;
};

}  // namespace quorvale::guest
