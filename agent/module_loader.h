#pragma once
// Kernel modules of the VM image: /etc/quorvale/modules lists the absolute paths of the .ko
// files in dependency order, one per line. Each is loaded with finit_module; a module that
// is already there (EEXIST) is fine, any other failure is reported and loading goes on.

#include <string>
#include <string_view>
#include <vector>

namespace quorvale::agent {

// Non-empty lines without surrounding blanks; lines starting with "#" are comments.
std::vector<std::string> parseModuleList(std::string_view text);

struct ModuleLoadReport {
    int loaded = 0;                     // now in the kernel, including those already there
    std::vector<std::string> failures;  // one readable line per module that failed
};

// Loads the modules listed in `listPath`.
ModuleLoadReport loadModules(const std::string& listPath);

}  // namespace quorvale::agent
