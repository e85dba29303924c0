#include "agent/log.h"

#include <unistd.h>

#include <string>

namespace quorvale::agent {

void logLine(std::string_view message) {
    std::string line = "quorvale-agent: ";
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
