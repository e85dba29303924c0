#pragma once
// Finds a virtio-serial port by the name the host gave it: each port is a directory under
// /sys/class/virtio-ports (vport1p1, ...) whose "name" file holds that name, and its device
// node is /dev/<directory name>.

#include <optional>
#include <string>
#include <string_view>

namespace quorvale::agent {

inline constexpr std::string_view agentPortName = "org.quorvale.agent.5000";

// The device path of the port called `name`, or nothing when no such port exists (yet).
std::optional<std::string> findVirtioPort(const std::string& classDir, std::string_view name,
                                          const std::string& devDir = "/dev");

}  // namespace quorvale::agent
