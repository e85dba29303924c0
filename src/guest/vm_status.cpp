#include "guest/vm_status.h"

namespace quorvale::guest {

QString VMStatus::text() const {
    switch (state) {
        case State::stopped:
            return QStringLiteral("stopped");
        case State::booting:
            return QStringLiteral("booting");
        case State::running:
            return QStringLiteral("running");
        case State::error:
            return QStringLiteral("error: ") + description;
    }
    return {};
}

}  // namespace quorvale::guest
