#pragma once
// FuseBridge: the libfuse session of one mount and the thread that reads /dev/fuse. Each
// request is copied (a write's bytes encoded as base64 here, off the filesystem's thread) and
// handed to the GuestFilesystem on its own thread, which answers it when its calls return.
// The reading thread ends when the kernel ends the mount (any unmount) or when stopped.

#include <fuse_lowlevel.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "rpc/unique_fd.h"

namespace quorvale::mount {

class GuestFilesystem;

struct MountSettings {
    std::string mountPoint;
    bool readOnly = false;
};

class FuseBridge {
public:
    explicit FuseBridge(GuestFilesystem& filesystem);
    ~FuseBridge();  // stops the thread and destroys the session (lazily unmounting if needed)
    FuseBridge(const FuseBridge&) = delete;
    FuseBridge& operator=(const FuseBridge&) = delete;

    // Mounts; throws std::runtime_error with libfuse's reason when it cannot.
    void mount(const MountSettings& settings);
    // Starts reading requests; `ended` runs on the reading thread once the kernel ended the
    // mount or the session failed.
    void start(std::function<void()> ended);
    // Stops the reading thread (no request is read after it returns).
    void stop();
    // Detaches the mount from the file tree at once (open files keep it until closed).
    void detach();
    bool mounted() const { return mounted_; }

private:
    void readLoop();

    GuestFilesystem& filesystem_;
    fuse_session* session_ = nullptr;
    bool mounted_ = false;
    UniqueFd wake_;  // eventfd: readable once stop() ran
    std::atomic<bool> stopping_{false};
    std::function<void()> ended_;
    std::thread reader_;
};

}  // namespace quorvale::mount
