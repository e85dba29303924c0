#pragma once
// The agent as the VM's init: bring the guest up, serve the host, power off on request.

namespace quorvale::agent {

[[noreturn]] void runInit();

}  // namespace quorvale::agent
