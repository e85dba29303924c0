#include "agent/log.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace quorvale::agent {

namespace {

std::atomic<bool> withUptime{false};

}  // namespace

void logWithUptime() {
    withUptime = true;
}

void logLine(std::string_view message) {
    std::string line;
    if (withUptime) {
        timespec now{};
        ::clock_gettime(CLOCK_BOOTTIME, &now);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%ld.%03ld] ", static_cast<long>(now.tv_sec),
                      now.tv_nsec / 1000000);
        line += stamp;
    }
    line += "quorvale-agent: ";
    line += message;
    line += '\n';
    // One write per line so lines from several threads never mix.
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const auto n = ::write(STDERR_FILENO, p, left);
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace quorvale::agent
