#pragma once
// DirectoryReader: the names of an open directory, read a few at a time, so that a directory
// of a million entries costs neither the memory nor the time of all its names before the first
// is used. It reads through its own descriptor (a duplicate); "." and "..", and the agent's
// temporary files unless included, are skipped.

#include <dirent.h>

#include <memory>
#include <string>

#include "agent/temporary_file.h"

namespace quorvale::agent {

enum class Temporaries { skip, include };

class DirectoryReader {
public:
    // `dirFd` stays the caller's; `display` names the directory in errors. Throws AgentError.
    DirectoryReader(int dirFd, std::string display, Temporaries temporaries = Temporaries::skip);

    // The next entry (its name and the type the directory records, DT_UNKNOWN where none), or
    // nullptr at the end. Throws AgentError when the directory cannot be read on.
    const dirent* next();
    const std::string& display() const { return display_; }

private:
    std::unique_ptr<DIR, int (*)(DIR*)> dir_;
    std::string display_;
    Temporaries temporaries_;
};

}  // namespace quorvale::agent
