#pragma once
// A whole disk the app holds open, by its descriptor. The helper holds a disk it opened for us
// for as long as we do (its claim is our proof for a writable descriptor later): closing the
// handle lets go of it there too, through `onClose`.

#include <functional>
#include <utility>

#include "rpc/unique_fd.h"

namespace quorvale::app {

class HeldDisk {
public:
    explicit HeldDisk(UniqueFd fd, std::function<void()> onClose = {})
        : fd_(std::move(fd)), onClose_(std::move(onClose)) {}
    HeldDisk(HeldDisk&& other) noexcept
        : fd_(std::move(other.fd_)), onClose_(std::exchange(other.onClose_, nullptr)) {}
    HeldDisk& operator=(HeldDisk&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::move(other.fd_);
            onClose_ = std::exchange(other.onClose_, nullptr);
        }
        return *this;
    }
    ~HeldDisk() { close(); }

    int get() const { return fd_.get(); }

private:
    void close() {
        fd_.reset();
        if (const auto onClose = std::exchange(onClose_, nullptr))
            onClose();
    }

    UniqueFd fd_;
    std::function<void()> onClose_;
};

}  // namespace quorvale::app
