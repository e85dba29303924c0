#include "agent/init_system.h"

#include <unistd.h>

namespace quorvale::agent {

void runInit() {
    for (;;)
        ::pause();
}

}  // namespace quorvale::agent
