#pragma once
// Errors of the file operation service; what() is the user-facing description.

#include <string>

#include "rpc/error.h"

namespace quorvale::fileops {

class FileOperationError : public Error {
public:
    enum class Kind { operationFailed, invalidData };

    // "Operation failed: " followed by the message.
    static FileOperationError operationFailed(std::string message) {
        return FileOperationError(Kind::operationFailed, std::move(message));
    }
    // A result of the wrong shape.
    static FileOperationError invalidData() { return FileOperationError(Kind::invalidData, {}); }

    Kind kind;
    std::string message;  // operationFailed only

private:
    FileOperationError(Kind kind, std::string message)
        : Error(kind == Kind::operationFailed ? "Operation failed: " + message
                                              : std::string("Invalid data received from VM")),
          kind(kind),
          message(std::move(message)) {}
};

}  // namespace quorvale::fileops
