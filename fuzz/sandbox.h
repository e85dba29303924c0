#pragma once
// Confinement for fuzz targets whose code under test writes files (the agent's methods, the
// helper's eject). The calling thread moves into a private mount namespace in which every mount
// is read-only, except a fresh tmpfs for the target's scratch trees and the directories the
// fuzzer itself writes to (its corpus directories, the artifact directory, the working
// directory). Should a path check in the code under test ever fail, the damage stays inside the
// scratch tmpfs. Call from LLVMFuzzerInitialize, before any thread is started.

#include <string>

namespace quorvale::fuzz {

// Confines the process as described and returns the path of the scratch tmpfs (empty, 64 MiB).
// Where confinement is impossible (no right to make namespaces) the process ends with a
// message, unless the environment sets QUORVALE_FUZZ_UNCONFINED=1 (a throwaway machine): then
// the scratch directory is an ordinary temporary directory.
std::string confine(int argc, char** argv);

// Removes everything below `directory` (not the directory itself); links are not followed.
void emptyDirectory(const std::string& directory);

// Writes `text` to `path` (created or truncated); aborts on failure.
void writeFile(const std::string& path, const std::string& text);

// The contents of `path`, or "<missing>".
std::string readFile(const std::string& path);

}  // namespace quorvale::fuzz
