#pragma once
// Refusals of the browser's transfers; what() is the user-facing description.

#include <string>

#include "rpc/error.h"

namespace quorvale::app {

class TransferError : public Error {
public:
    enum class Kind { unsafeName };

    // A name from the guest that cannot name a file inside the chosen folder.
    static TransferError unsafeName(const std::string& name) {
        return TransferError(Kind::unsafeName, "Refusing to export \"" + printable(name) +
                                                   "\": the name is not a plain file name");
    }

    Kind kind;

private:
    TransferError(Kind kind, std::string description) : Error(std::move(description)), kind(kind) {}
    static std::string printable(const std::string& name) {
        std::string out;
        for (char c : name)
            out += c == '\0' ? std::string("\\0") : std::string(1, c);
        return out;
    }
};

}  // namespace quorvale::app
