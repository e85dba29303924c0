#pragma once
// Failures of the VM lifecycle; what() is the user-facing description.

#include <string>

#include "rpc/error.h"

namespace quorvale::guest {

class VMError : public Error {
public:
    enum class Kind {
        bootFailed,
        diskAttachmentFailed,
        vsockConnectionFailed,
        vmNotRunning,
        kernelNotFound,
        initramfsNotFound,
        // The disk no longer has its size: pulled from its reader, or another card put in.
        diskRemoved,
    };

    VMError(Kind kind, std::string detail = {})
        : Error(describe(kind, detail)), kind(kind), detail(std::move(detail)) {}

    Kind kind;
    std::string detail;  // the underlying error's description for the payload cases

    static std::string describe(Kind kind, const std::string& detail) {
        switch (kind) {
            case Kind::bootFailed:
                return "VM boot failed: " + detail;
            case Kind::diskAttachmentFailed:
                return "Disk attachment failed: " + detail;
            case Kind::vsockConnectionFailed:
                return "Vsock connection failed: " + detail;
            case Kind::vmNotRunning:
                return "Virtual machine is not running";
            case Kind::kernelNotFound:
                return "Linux kernel not found in app bundle";
            case Kind::initramfsNotFound:
                return "Initramfs not found in app bundle";
            case Kind::diskRemoved:
                return "The card was removed: " + detail;
        }
        return detail;
    }
};

// Failures of the emulator process itself (missing binary, refused command line, early exit).
class QemuError : public Error {
public:
    enum class Kind { notFound, startFailed, qmpFailed };
    QemuError(Kind kind, std::string description) : Error(std::move(description)), kind(kind) {}
    Kind kind;
};

}  // namespace quorvale::guest
