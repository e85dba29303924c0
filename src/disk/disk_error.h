#pragma once
// Failures of disk detection, ejection and disk images. what() is the user-facing description.

#include <string>

#include "rpc/error.h"

namespace quorvale::disk {

class DiskError : public Error {
public:
    enum class Kind {
        ejectFailed,   // status: the refusal's status code
        diskNotFound,  // no disk of that name
        accessDenied,  // the device could not be opened
        imageFailed,   // a disk image could not be opened (reason in the description)
    };

    static DiskError ejectFailed(int status) {
        return DiskError(Kind::ejectFailed,
                         "Failed to eject disk (status: " + std::to_string(status) + ")", status);
    }
    static DiskError diskNotFound() { return DiskError(Kind::diskNotFound, "Disk not found"); }
    static DiskError accessDenied() {
        return DiskError(Kind::accessDenied, "Access denied to disk device");
    }
    static DiskError imageFailed(const std::string& reason) {
        return DiskError(Kind::imageFailed, "Cannot open disk image: " + reason);
    }

    Kind kind() const noexcept { return kind_; }
    int status() const noexcept { return status_; }

private:
    DiskError(Kind kind, std::string description, int status = 0)
        : Error(std::move(description)), kind_(kind), status_(status) {}

    Kind kind_;
    int status_;
};

}  // namespace quorvale::disk
