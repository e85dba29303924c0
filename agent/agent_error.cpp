#include "agent/agent_error.h"

#include <cstring>

#include "rpc/json_rpc.h"
#include "rpc/utf8_text.h"

namespace quorvale::agent {

using rpc::readableName;

std::string errnoText(int errnoValue) {
    if (const char* text = ::strerrordesc_np(errnoValue))
        return text;
    return "Unknown error " + std::to_string(errnoValue);
}

AgentError AgentError::system(int errnoValue, std::string_view path) {
    return systemDetail(errnoValue, path);
}

AgentError AgentError::systemDetail(int errnoValue, std::string_view detail) {
    std::string message = errnoText(errnoValue);
    if (!detail.empty()) {
        // Paths in messages are escaped names: shown with their odd bytes spelled out.
        message += ": ";
        message += readableName(detail);
    }
    return AgentError(Kind::system, errnoValue, std::move(message));
}

AgentError AgentError::invalidParams(std::string description) {
    return AgentError(Kind::invalidParams, 0, "Invalid params: " + description);
}

std::int64_t AgentError::code() const {
    switch (kind) {
        case Kind::system:
            return -static_cast<std::int64_t>(errnoValue);
        case Kind::invalidParams:
            return rpc::JSONRPCError::invalidParams;
        case Kind::methodNotFound:
            return rpc::JSONRPCError::methodNotFound;
    }
    return rpc::JSONRPCError::internalError;
}

}  // namespace quorvale::agent
