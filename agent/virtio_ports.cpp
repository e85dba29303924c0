#include "agent/virtio_ports.h"

#include <dirent.h>

#include <fstream>
#include <memory>

namespace quorvale::agent {

std::optional<std::string> findVirtioPort(const std::string& classDir, std::string_view name,
                                          const std::string& devDir) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(classDir.c_str()), ::closedir);
    if (!dir)
        return std::nullopt;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string port = entry->d_name;
        if (port == "." || port == "..")
            continue;
        std::ifstream file(classDir + "/" + port + "/name");
        std::string portName;
        if (file && std::getline(file, portName) && portName == name)
            return devDir + "/" + port;
    }
    return std::nullopt;
}

}  // namespace quorvale::agent
