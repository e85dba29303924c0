#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

namespace quorvale::fuzz {

namespace fs = std::filesystem;

namespace {

struct Failure {
    std::string what;
};

[[noreturn]] void fail(const std::string& what) {
    throw Failure{what + ": " + std::strerror(errno)};
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

struct MountPoint {
    std::string path;
    unsigned long flags = 0;  // the per-mount flags to keep when remounting
};

std::vector<MountPoint> mountPoints() {
    std::vector<MountPoint> points;
    std::ifstream info("/proc/self/mountinfo");
    for (std::string line; std::getline(info, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, options;
        fields >> id >> parent >> device >> root >> point >> options;
        MountPoint mount{unescape(point), 0};
        std::istringstream list(options);
        for (std::string option; std::getline(list, option, ',');) {
            if (option == "nosuid")
                mount.flags |= MS_NOSUID;
            else if (option == "nodev")
                mount.flags |= MS_NODEV;
            else if (option == "noexec")
                mount.flags |= MS_NOEXEC;
            else if (option == "noatime")
                mount.flags |= MS_NOATIME;
            else if (option == "nodiratime")
                mount.flags |= MS_NODIRATIME;
            else if (option == "relatime")
                mount.flags |= MS_RELATIME;
        }
        points.push_back(mount);
    }
    return points;
}

// Directories libFuzzer writes to: corpus directories, the artifact directory, the working
// directory.
std::set<std::string> fuzzerDirectories(int argc, char** argv) {
    std::set<std::string> dirs{fs::current_path().string()};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string path;
        if (arg.rfind("-artifact_prefix=", 0) == 0) {
            path = arg.substr(std::strlen("-artifact_prefix="));
            path =
                path.empty() || path.back() == '/' ? path : fs::path(path).parent_path().string();
        } else if (arg.rfind("-exact_artifact_path=", 0) == 0) {
            path = fs::path(arg.substr(std::strlen("-exact_artifact_path="))).parent_path();
        } else if (arg.empty() || arg[0] == '-') {
            continue;
        } else {
            path = arg;
        }
        std::error_code error;
        if (!path.empty() && fs::is_directory(path, error))
            dirs.insert(fs::canonical(path).string());
    }
    return dirs;
}

bool enterMountNamespace() {
    if (::unshare(CLONE_NEWNS) == 0)
        return true;
    // Not privileged: a user namespace of our own grants the mount rights.
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    const auto put = [](const char* path, const std::string& text) {
        std::ofstream out(path);
        out << text;
        out.close();
        return !out.fail();
    };
    return put("/proc/self/setgroups", "deny") &&
           put("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
           put("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

bool under(const std::string& path, const std::string& directory) {
    return path == directory || path.rfind(directory + "/", 0) == 0;
}

std::string confineOrFail(int argc, char** argv) {
    const std::set<std::string> writable = fuzzerDirectories(argc, argv);
    const std::string cwd = fs::current_path().string();
    bool fuzzerUsesTmp = false;
    for (const auto& dir : writable)
        fuzzerUsesTmp = fuzzerUsesTmp || under(dir, "/tmp");

    if (!enterMountNamespace())
        fail("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("making mounts private");

    // The scratch tmpfs hides /tmp when the fuzzer keeps nothing there; nothing is then left
    // behind on the real /tmp.
    std::string scratch = "/tmp";
    if (fuzzerUsesTmp) {
        char name[] = "/tmp/quorvale-fuzz-XXXXXX";
        if (!::mkdtemp(name))
            fail("mkdtemp");
        scratch = name;
    }
    if (::mount("tmpfs", scratch.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0755") != 0)
        fail("mounting the scratch tmpfs");
    for (const auto& dir : writable) {
        if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0)
            fail("binding " + dir);
    }
    // Every other mount becomes read-only. Mounts hidden below others may refuse; the check
    // after this loop is what counts.
    for (const MountPoint& mount : mountPoints()) {
        if (under(mount.path, scratch) || writable.count(mount.path))
            continue;
        ::mount(nullptr, mount.path.c_str(), nullptr,
                MS_BIND | MS_REMOUNT | MS_RDONLY | mount.flags, nullptr);
    }
    // The working directory must refer to its writable bind, not to the mount below it.
    if (::chdir(cwd.c_str()) != 0)
        fail("chdir");

    const std::string probe =
        "/" + std::string(".quorvale-fuzz-probe-") + std::to_string(::getpid());
    const int fd = ::open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EROFS) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.c_str());
        }
        errno = EPERM;
        fail("the root filesystem is still writable");
    }
    return scratch;
}

}  // namespace

std::string confine(int argc, char** argv) {
    try {
        return confineOrFail(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "fuzz sandbox: %s\n", failure.what.c_str());
        const char* allowed = std::getenv("QUORVALE_FUZZ_UNCONFINED");
        if (!allowed || std::string(allowed) != "1") {
            std::fprintf(stderr,
                         "fuzz sandbox: refusing to run unconfined "
                         "(QUORVALE_FUZZ_UNCONFINED=1 allows it on a throwaway machine)\n");
            std::exit(1);
        }
        std::fprintf(stderr, "fuzz sandbox: running unconfined\n");
        static char scratch[] = "/tmp/quorvale-fuzz-XXXXXX";
        if (!::mkdtemp(scratch))
            std::exit(1);
        // Nothing of the run stays on the real /tmp.
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(scratch, ignored);
        });
        return scratch;
    }
}

void emptyDirectory(const std::string& directory) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        std::error_code ignored;
        fs::remove_all(entry.path(), ignored);
    }
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace quorvale::fuzz
