#pragma once
// Depth-first walks of directory trees of any depth, without recursion and with bounded
// resources. Each directory's names are read once, when the walk enters it, and kept while its
// subtrees are walked. At most `maxOpenDirectories` descriptors are held: a directory whose
// descriptor was closed on the way down is reopened on the way up through its child's "..",
// and must be the same directory (device and inode) or the walk fails. Symlinks are never
// followed. Memory grows with the depth times the names of one directory, never with the
// square of the depth. A walk that reads in pieces reads the names of the directories it is in
// a few at a time instead (a directory of a million names is not read whole before its first
// entry is visited), through at most `maxReadersInPieces` more descriptors.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/directory_reader.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

inline constexpr std::size_t maxOpenDirectories = 16;
inline constexpr std::size_t maxReadersInPieces = 4;

// A path of open-or-reopenable directories: the top one and subdirectories pushed below it.
class DirectoryStack {
public:
    // `top` is an open directory; `display` names it in errors.
    DirectoryStack(UniqueFd top, std::string display);

    // The deepest directory, always open.
    int fd() const { return levels_.back().fd.get(); }
    std::size_t depth() const { return levels_.size() - 1; }
    // Adds `dir`, an open subdirectory of the deepest one called `name`.
    void push(UniqueFd dir, std::string_view name);
    // Back to the parent of the deepest directory; throws AgentError when it cannot be reached.
    void pop();
    // The absolute display path (escaped) of `name`, bytes of an entry in the deepest
    // directory (or of the deepest directory itself when `name` is empty).
    std::string display(std::string_view name = {}) const;

private:
    // The display path of `name` below the first `count` levels.
    std::string displayOf(std::size_t count, std::string_view name) const;

    struct Level {
        UniqueFd fd;
        dev_t device;
        ino_t inode;
        std::string name;  // as in its parent; empty for the top
    };
    std::string topDisplay_;
    std::vector<Level> levels_;
    std::size_t firstOpen_ = 0;  // levels from here down are open
};

class TreeWalk {
public:
    class Visitor {
    public:
        virtual ~Visitor() = default;
        // Each entry of the directory open as `dirFd` (lstat data). Returning true walks into
        // it, which only directories allow.
        virtual bool visit(int dirFd, const char* name, const struct stat& st) = 0;
        // The walk into `name`, an entry of `dirFd`, is over.
        virtual void leave(int /*dirFd*/, const char* /*name*/, const struct stat& /*st*/) {}
        // Asked before each entry: true stops resume() there, to go on at the next call.
        virtual bool pause() { return false; }
        // An entry below the top that cannot be read, or a directory that cannot be entered
        // or read on (`display`, errno `error`). The default fails the walk with it; a visitor
        // that returns instead has the walk go on past it.
        virtual void unreadable(const std::string& display, int error);
    };

    // What happens when a subdirectory cannot be entered because it is gone meanwhile.
    enum class Vanished { fail, skip };
    // Whether a directory's names are read whole on entering it, or a few at a time.
    enum class Reading { whole, inPieces };

    TreeWalk(UniqueFd top, std::string display, Temporaries temporaries = Temporaries::skip,
             Vanished vanished = Vanished::fail, Reading reading = Reading::whole);
    // Walks everything below the top directory. Exceptions of the visitor end the walk.
    void run(Visitor& visitor);
    // Walks on from where the last call stopped until the visitor pauses (false) or everything
    // is walked (true). An exception ends the walk for good.
    bool resume(Visitor& visitor);
    bool finished() const { return started_ && pending_.empty(); }
    // `name` in the directory being visited, as an absolute display path.
    std::string display(std::string_view name) const { return dirs_.display(name); }
    std::size_t depth() const { return dirs_.depth(); }

private:
    struct Pending {
        std::vector<std::string> names;
        std::size_t next = 0;
        struct stat st {};                        // of this directory, for leave()
        std::unique_ptr<DirectoryReader> reader;  // while names are still to be read
    };
    // Starts reading the deepest directory into `level`.
    void startReading(Pending& level);
    // The next piece of `level`'s names (the deepest directory's); a read that fails goes to
    // the visitor and ends the directory.
    void readPiece(Pending& level, Visitor& visitor);
    // Reads the rest of the shallowest directory still read in pieces, when too many are.
    void limitReaders();

    DirectoryStack dirs_;
    Temporaries temporaries_;
    Vanished vanished_;
    Reading reading_;
    std::vector<Pending> pending_;
    bool started_ = false;
};

}  // namespace quorvale::agent
