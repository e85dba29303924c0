#pragma once
// AgentError: why a request failed, as the host will read it. `code()` is the JSON-RPC error
// code of the reply (a negative errno for system failures, a JSON-RPC code otherwise) and
// what() the message shown to the user, such as "No such file or directory: /docs/x".

#include <cstdint>
#include <string>
#include <string_view>

#include "rpc/error.h"

namespace quorvale::agent {

class AgentError : public Error {
public:
    enum class Kind { system, invalidParams, methodNotFound };

    AgentError(Kind kind, int errnoValue, std::string description)
        : Error(std::move(description)), kind(kind), errnoValue(errnoValue) {}

    // "<strerror>: <path>", e.g. "File exists: /untitled folder".
    static AgentError system(int errnoValue, std::string_view path);
    // A system failure with its own wording after the errno text.
    static AgentError systemDetail(int errnoValue, std::string_view detail);
    static AgentError invalidParams(std::string description);

    std::int64_t code() const;

    Kind kind;
    int errnoValue;  // system failures only
};

// Thread-safe description of an errno value ("No such file or directory").
std::string errnoText(int errnoValue);

}  // namespace quorvale::agent
