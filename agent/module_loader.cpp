#include "agent/module_loader.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "agent/agent_error.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

std::vector<std::string> parseModuleList(std::string_view text) {
    std::vector<std::string> paths;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = std::min(text.find('\n', pos), text.size());
        auto line = text.substr(pos, end - pos);
        pos = end + 1;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos)
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        if (line.front() == '#')
            continue;
        paths.emplace_back(line);
    }
    return paths;
}

ModuleLoadReport loadModules(const std::string& listPath) {
    ModuleLoadReport report;
    std::ifstream file(listPath);
    if (!file) {
        report.failures.push_back("no module list at " + listPath);
        return report;
    }
    std::stringstream text;
    text << file.rdbuf();
    for (const auto& path : parseModuleList(text.str())) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            report.failures.push_back("cannot open module " + path + ": " + errnoText(errno));
            continue;
        }
        if (::syscall(SYS_finit_module, fd.get(), "", 0) != 0 && errno != EEXIST) {
            report.failures.push_back("cannot load module " + path + ": " + errnoText(errno));
            continue;
        }
        ++report.loaded;
    }
    return report;
}

}  // namespace quorvale::agent
