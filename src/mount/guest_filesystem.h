#pragma once
// GuestFilesystem: the FUSE low-level operations of one mounted partition, each answered by
// calls to the guest agent ("fs_*") over the session's transport. It lives on the thread that
// owns the transport (the GUI thread); FuseBridge hands it each request from the thread that
// reads /dev/fuse, and it replies from here when the calls return. Once the channel is lost
// (the VM died, the card went, the stream failed), every waiting and later request fails with
// EIO at once; the mount itself stays until it is unmounted.
//
// Sequential reads are served from a read-ahead window fetched in large chunks, and writes go
// out behind the caller, a few chunks in flight per file: the channel carries a few large
// calls far better than many small ones. A write's failure is told at the file's next write,
// flush or fsync. Every other request waits for the writes in flight first, so no attribute
// the kernel sees is older than a write it was told is done.

#include <fuse_lowlevel.h>

#include <QtCore/QObject>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "mount/node_table.h"
#include "rpc/any_codable.h"

namespace quorvale::guest {
class VsockTransport;
}

namespace quorvale::mount {

struct FilesystemOptions {
    std::string partition;  // the host's name of the partition ("sdb2", "image0p1")
    bool readOnly = false;
    // How long the kernel keeps attributes and names before asking again.
    double cacheSeconds = 1.0;
};

class GuestFilesystem : public QObject {
    Q_OBJECT
public:
    GuestFilesystem(guest::VsockTransport& transport, FilesystemOptions options);
    ~GuestFilesystem() override;

    // Reads the partition root's inode; throws FilesystemError when the guest cannot serve it.
    QCoro::Task<void> prepare();
    void setSession(fuse_session* session) { session_ = session; }

    // Every request from now on fails with EIO, and so do those waiting.
    void lose();
    bool isLost() const { return lost_; }
    // Requests received and not yet answered.
    int requestsInFlight() const { return inFlight_; }
    // Waits until every write sent is answered.
    QCoro::Task<void> settle();

    // The operations, called on this object's thread with copies of the request's arguments.
    void lookup(fuse_req_t req, fuse_ino_t parent, std::string name);
    void forget(fuse_ino_t ino, std::uint64_t count);
    void getattr(fuse_req_t req, fuse_ino_t ino, std::optional<std::uint64_t> fh);
    void setattr(fuse_req_t req, fuse_ino_t ino, struct stat attr, int toSet,
                 std::optional<std::uint64_t> fh);
    void readlink(fuse_req_t req, fuse_ino_t ino);
    void mkdir(fuse_req_t req, fuse_ino_t parent, std::string name, mode_t mode);
    void unlink(fuse_req_t req, fuse_ino_t parent, std::string name, bool directory);
    void symlink(fuse_req_t req, std::string target, fuse_ino_t parent, std::string name);
    void rename(fuse_req_t req, fuse_ino_t parent, std::string name, fuse_ino_t newParent,
                std::string newName, unsigned flags);
    void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent, std::string newName);
    void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info fi);
    void create(fuse_req_t req, fuse_ino_t parent, std::string name, mode_t mode,
                fuse_file_info fi);
    void read(fuse_req_t req, std::uint64_t fh, std::size_t size, off_t offset);
    // `data` is base64 already (encoded on the reading thread).
    void write(fuse_req_t req, std::uint64_t fh, std::string data, std::size_t size, off_t offset);
    void flush(fuse_req_t req, std::uint64_t fh);
    void release(fuse_req_t req, std::uint64_t fh);
    void fsync(fuse_req_t req, std::optional<std::uint64_t> fh, fuse_ino_t ino, bool dataOnly);
    void opendir(fuse_req_t req, fuse_ino_t ino);
    void readdir(fuse_req_t req, fuse_ino_t ino, std::uint64_t fh, std::size_t size, off_t offset,
                 bool plus);
    void releasedir(fuse_req_t req, std::uint64_t fh);
    void statfs(fuse_req_t req);

signals:
    // The channel to the guest failed (emitted once).
    void channelLost();

private:
    struct OpenFile;
    struct Directory;

    // One call to the agent on this partition; throws FilesystemError.
    QCoro::Task<rpc::AnyCodable> call(std::string method, rpc::Params params,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string pathOf(fuse_ino_t ino) const;
    std::string childPathOf(fuse_ino_t parent, const std::string& name) const;
    struct stat attributes(const rpc::AnyCodable& attr) const;
    // Remembers the entry and fills what the kernel is told of it.
    fuse_entry_param entryFor(fuse_ino_t parent, const std::string& name, const struct stat& st);
    void replyError(fuse_req_t req, int error);
    int errorOf(std::exception_ptr error);

    QCoro::Task<void> lookupTask(fuse_req_t req, fuse_ino_t parent, std::string name);
    QCoro::Task<void> getattrTask(fuse_req_t req, fuse_ino_t ino, std::optional<std::uint64_t> fh);
    QCoro::Task<void> setattrTask(fuse_req_t req, fuse_ino_t ino, struct stat attr, int toSet,
                                  std::optional<std::uint64_t> fh);
    QCoro::Task<void> readlinkTask(fuse_req_t req, fuse_ino_t ino);
    QCoro::Task<void> createEntryTask(fuse_req_t req, fuse_ino_t parent, std::string name,
                                      std::string method, rpc::Params params);
    QCoro::Task<void> unlinkTask(fuse_req_t req, fuse_ino_t parent, std::string name,
                                 bool directory);
    QCoro::Task<void> renameTask(fuse_req_t req, fuse_ino_t parent, std::string name,
                                 fuse_ino_t newParent, std::string newName, unsigned flags);
    QCoro::Task<void> linkTask(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent,
                               std::string newName);
    QCoro::Task<void> openTask(fuse_req_t req, fuse_ino_t ino, std::optional<std::string> name,
                               mode_t mode, int flags);
    QCoro::Task<void> readTask(fuse_req_t req, std::uint64_t fh, std::size_t size, off_t offset);
    QCoro::Task<void> writeTask(fuse_req_t req, std::uint64_t fh, std::string data,
                                std::size_t size, off_t offset);
    QCoro::Task<void> flushTask(fuse_req_t req, std::uint64_t fh, bool release);
    QCoro::Task<void> fsyncTask(fuse_req_t req, std::optional<std::uint64_t> fh, fuse_ino_t ino,
                                bool dataOnly);
    QCoro::Task<void> readdirTask(fuse_req_t req, fuse_ino_t ino, std::uint64_t fh,
                                  std::size_t size, off_t offset, bool plus);
    QCoro::Task<void> statfsTask(fuse_req_t req);
    // Fetches the window of `file` at `offset` (in the background).
    QCoro::Task<void> fetchWindow(std::shared_ptr<OpenFile> file, off_t offset);
    QCoro::Task<void> writeBehind(std::shared_ptr<OpenFile> file, std::string data, off_t offset);
    // Waits until `file` (or, for none, every file) has no writes in flight.
    QCoro::Task<void> writesDone(std::shared_ptr<OpenFile> file);
    void wake();
    // Runs the coroutine `make` returns as one request in flight.
    template <typename Make>
    void start(Make make) {
        ++inFlight_;
        [](GuestFilesystem* self, Make make) -> QCoro::Task<void> {
            co_await make();
            --self->inFlight_;
        }(this, std::move(make));
    }

    guest::VsockTransport& transport_;
    const FilesystemOptions options_;
    const uid_t owner_;
    const gid_t group_;
    fuse_session* session_ = nullptr;
    NodeTable nodes_;
    bool lost_ = false;
    int inFlight_ = 0;
    int writesInFlight_ = 0;
    std::uint64_t writeGeneration_ = 0;           // read-ahead windows older than a write are stale
    std::vector<std::function<void()>> waiters_;  // resumed whenever a write ends
    std::uint64_t lastHandle_ = 0;
    std::map<std::uint64_t, std::shared_ptr<OpenFile>> files_;
    std::map<std::uint64_t, std::shared_ptr<Directory>> directories_;
};

}  // namespace quorvale::mount
