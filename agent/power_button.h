#pragma once
// Watches the input devices (/dev/input/event*) that report KEY_POWER, such as the ACPI
// power button the host presses to ask the VM to stop, and calls `onPress` when pressed.

#include <functional>
#include <string>

namespace quorvale::agent {

// Runs forever on the calling thread; devices that appear later are picked up.
[[noreturn]] void watchPowerButton(const std::function<void()>& onPress,
                                   const std::string& inputDir = "/dev/input");

}  // namespace quorvale::agent
