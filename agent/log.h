#pragma once
// One log line to stderr, prefixed "quorvale-agent: ". As PID 1, stderr is the console (hvc0).

#include <string_view>

namespace quorvale::agent {

void logLine(std::string_view message);

// Prefixes later lines with the time since boot ("[1.234] "), for the VM console.
void logWithUptime();

}  // namespace quorvale::agent
