#pragma once
// Errors of the privileged helper client; what() is the user-facing description.

#include <QString>

#include "rpc/error.h"

namespace quorvale::disk {

class HelperError : public Error {
public:
    enum class Kind {
        invalidBSDName,    // payload: the rejected name
        openFailed,        // payload: the daemon's (or the client's) message
        requiresApproval,  //
        unknownStatus,     //
        connectionFailed,  //
        timeout,           // raised by no operation; kept for callers that match on it
        accessDenied,      //
        ejectFailed        // payload: the daemon's message ("eject_disk" refused)
    };

    explicit HelperError(Kind kind, QString payload = {});

    Kind kind;
    QString payload;

    static QString describe(Kind kind, const QString& payload);
};

}  // namespace quorvale::disk
