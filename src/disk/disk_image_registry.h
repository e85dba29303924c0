#pragma once
// Disk-image files opened as devices. open() reads the image's partition table (MBR or GPT;
// none: one partition covering the file) and classifies each partition by probing at its
// offset. Each open image keeps its file descriptor (read-write, or read-only when the file is
// not writable) until it is detached; the VM is handed that descriptor. Names are image0,
// image1, ... (never reused while the registry lives) with partitions image0p1, ...; an
// unpartitioned image's one partition carries the image's own name. A file already open (by any
// path to it) is the same device again: two names for one file would let the VM mount one
// filesystem twice. Thread-safe.
//
// checkFiles() looks at the files behind the open images: one deleted, moved away or replaced
// under its path is gone (detached, reported like a pulled card); one that became smaller than
// when opened is shortened, and so damaged (reported once, and read-only from then on).

#include <qcoro/qcorotask.h>
#include <QString>

#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "disk/disk_ejector.h"
#include "model/device.h"
#include "rpc/unique_fd.h"

namespace quorvale::disk {

struct ImageFileChange {
    enum class Kind { gone, shortened };

    Kind kind = Kind::gone;
    QString bsdName;
    QString path;

    bool operator==(const ImageFileChange&) const = default;
};

class DiskImageRegistry : public DiskEjector {
public:
    // Called after an image was detached, with its name.
    using DetachedCallback = std::function<void(const QString& bsdName)>;

    explicit DiskImageRegistry(DetachedCallback onDetached = {});
    ~DiskImageRegistry() override;

    // Opens the image at path and returns its device. Blocking (reads the image).
    // Throws DiskError (imageFailed) for a file that cannot be used.
    model::Device open(const QString& path);

    bool contains(const QString& bsdName) const;
    // The open descriptor of an image (still owned here), or -1.
    int fd(const QString& bsdName) const;
    // A duplicate of the descriptor for a new owner (such as the VM); invalid when unknown.
    UniqueFd duplicateFd(const QString& bsdName) const;
    // Read-only: the file was not writable, or it was shortened while open.
    bool isReadOnly(const QString& bsdName) const;
    QString path(const QString& bsdName) const;
    std::size_t count() const;

    // What changed behind the open images since the last check. Gone images are detached
    // (their descriptors closed, the callback called) before this returns.
    std::vector<ImageFileChange> checkFiles();

    // Detaches: closes the descriptor and reports the disappearance. Throws
    // DiskError::diskNotFound for a name that is not an open image.
    QCoro::Task<void> ejectDisk(QString bsdName) override;

private:
    struct Image {
        QString path;
        UniqueFd fd;
        bool readOnly = false;
        model::Device device;
        dev_t fileDevice = 0;
        ino_t inode = 0;
        std::uint64_t size = 0;  // when opened
        bool shortened = false;
    };

    DetachedCallback onDetached;
    mutable std::mutex mutex;
    std::map<QString, Image> images;
    unsigned nextIndex = 0;
};

}  // namespace quorvale::disk
