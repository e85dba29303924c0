#include "agent/power_button.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "agent/log.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

namespace {

bool reportsPowerKey(int fd) {
    unsigned long bits[KEY_MAX / (8 * sizeof(unsigned long)) + 1] = {};
    if (::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof bits), bits) < 0)
        return false;
    constexpr auto perWord = 8 * sizeof(unsigned long);
    return (bits[KEY_POWER / perWord] >> (KEY_POWER % perWord)) & 1;
}

// Opens the event devices not seen before; remembers every name it looked at.
void scan(const std::string& inputDir, std::set<std::string>& seen,
          std::vector<UniqueFd>& buttons) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(inputDir.c_str()), ::closedir);
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.rfind("event", 0) != 0 || !seen.insert(name).second)
            continue;
        UniqueFd fd(::open((inputDir + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd && reportsPowerKey(fd.get())) {
            logLine("watching " + name + " for the power button");
            buttons.push_back(std::move(fd));
        }
    }
}

}  // namespace

void watchPowerButton(const std::function<void()>& onPress, const std::string& inputDir) {
    std::set<std::string> seen;
    std::vector<UniqueFd> buttons;
    for (;;) {
        scan(inputDir, seen, buttons);
        std::vector<pollfd> fds;
        for (const auto& b : buttons)
            fds.push_back({b.get(), POLLIN, 0});
        // Look for new devices now and then; input drivers may bind late.
        const int ready = ::poll(fds.data(), fds.size(), 1000);
        if (ready <= 0)
            continue;
        for (const auto& p : fds) {
            if (!(p.revents & POLLIN))
                continue;
            input_event events[16];
            const auto n = ::read(p.fd, events, sizeof events);
            for (ssize_t i = 0; n > 0 && i < n / static_cast<ssize_t>(sizeof(input_event)); ++i) {
                if (events[i].type == EV_KEY && events[i].code == KEY_POWER && events[i].value == 1)
                    onPress();
            }
        }
    }
}

}  // namespace quorvale::agent
