// Open folders of GuestFilesystem: each keeps the entries read so far, fetched from the agent a
// page at a time as the kernel reads on, so positions stay stable for the handle's life.

#include <cerrno>

#include "mount/guest_attributes.h"
#include "mount/guest_filesystem.h"
#include "mount/open_state.h"
#include "rpc/utf8_text.h"

namespace quorvale::mount {

void GuestFilesystem::opendir(fuse_req_t req, fuse_ino_t ino) {
    try {
        auto directory = std::make_shared<Directory>();
        directory->path = pathOf(ino);
        directory->node = ino;
        fuse_file_info fi{};
        fi.fh = ++lastHandle_;
        directories_.emplace(fi.fh, std::move(directory));
        if (fuse_reply_open(req, &fi) != 0)
            directories_.erase(fi.fh);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::releasedir(fuse_req_t req, std::uint64_t fh) {
    directories_.erase(fh);
    replyError(req, 0);
}

void GuestFilesystem::readdir(fuse_req_t req, fuse_ino_t ino, std::uint64_t fh, std::size_t size,
                              off_t offset, bool plus) {
    start([=, this] { return readdirTask(req, ino, fh, size, offset, plus); });
}

QCoro::Task<void> GuestFilesystem::readdirTask(fuse_req_t req, fuse_ino_t ino, std::uint64_t fh,
                                               std::size_t size, off_t offset, bool plus) {
    try {
        const auto it = directories_.find(fh);
        if (it == directories_.end() || offset < 0)
            throw FilesystemError{EBADF};
        const auto directory = it->second;
        co_await writesDone(nullptr);
        std::string buffer(size, '\0');
        std::size_t used = 0;
        // Position 0 is ".", 1 is "..", then the entries; each entry tells the next position.
        for (auto index = static_cast<std::size_t>(offset);; ++index) {
            while (index >= 2 && index - 2 >= directory->entries.size() && !directory->complete) {
                rpc::Params params{{"path", directory->path}, {"offset", directory->cookie}};
                const auto page = co_await call("fs_readdir", std::move(params));
                const auto* object = page.objectValue();
                const auto* entries = object ? object->if_contains("entries") : nullptr;
                const auto* done = object ? object->if_contains("done") : nullptr;
                if (!entries || !entries->is_array() || !done || !done->is_bool())
                    throw FilesystemError{EIO};
                for (const auto& entry : entries->get_array()) {
                    const auto* e = entry.if_object();
                    const auto* name = e ? e->if_contains("name") : nullptr;
                    const auto* next = e ? e->if_contains("next") : nullptr;
                    if (!name || !name->is_string() || !next || !next->is_int64())
                        throw FilesystemError{EIO};
                    auto bytes = rpc::unescapeName(name->get_string());
                    if (bytes.empty() ||
                        bytes.find_first_of(std::string("/\0", 2)) != std::string::npos)
                        throw FilesystemError{EIO};
                    directory->entries.push_back(
                        {std::move(bytes), attributesFrom(e->at("attr"), owner_, group_)});
                    directory->cookie = next->get_int64();
                }
                directory->complete = done->get_bool() || entries->get_array().empty();
            }
            std::string name;
            struct stat st {};
            if (index < 2) {
                name = index == 0 ? "." : "..";
                st.st_mode = S_IFDIR;
                st.st_ino = nodes_.inodeOf(ino);
            } else if (index - 2 < directory->entries.size()) {
                name = directory->entries[index - 2].name;
                st = directory->entries[index - 2].attr;
            } else {
                break;
            }
            const auto position = static_cast<off_t>(index + 1);
            char* out = buffer.data() + used;
            const std::size_t room = size - used;
            std::size_t needed = 0;
            if (!plus) {
                needed = fuse_add_direntry(req, out, room, name.c_str(), &st, position);
            } else if (index < 2) {
                fuse_entry_param none{};
                none.attr = st;
                needed = fuse_add_direntry_plus(req, out, room, name.c_str(), &none, position);
            } else {
                // Counted as a lookup only once it is sure to reach the kernel.
                if (fuse_add_direntry_plus(req, nullptr, 0, name.c_str(), nullptr, 0) > room)
                    break;
                const auto e = entryFor(directory->node, name, st);
                needed = fuse_add_direntry_plus(req, out, room, name.c_str(), &e, position);
            }
            if (needed > room)
                break;
            used += needed;
        }
        fuse_reply_buf(req, buffer.data(), used);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

}  // namespace quorvale::mount
