#pragma once
// CursorTable: work that goes on across calls (a paged listing, a search), each cursor owned by
// the session that started it. A cursor ends when its owner ends it, with its session, at an
// unmount of its filesystem, or after a minute unused, so a forgotten one never keeps a card
// busy. Ended cursors are closed (their directories released) before the call that ended them
// returns. `Cursor` has `void close()`, which waits for a call in progress.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/agent_error.h"

namespace quorvale::agent {

template <typename Cursor>
class CursorTable {
public:
    static constexpr std::chrono::seconds idleLimit{60};

    // `what` names a cursor in errors ("search"), `many` several of them ("searches").
    CursorTable(std::size_t maxAll, std::size_t maxPerSession, std::string what, std::string many)
        : maxAll_(maxAll),
          maxPerSession_(maxPerSession),
          what_(std::move(what)),
          many_(std::move(many)) {}

    // Adds the cursor; throws AgentError (EBUSY) when too many are open.
    std::uint64_t add(std::uint64_t session, dev_t device, std::shared_ptr<Cursor> cursor) {
        std::vector<std::shared_ptr<Cursor>> ended;  // closed outside the lock
        std::unique_lock lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (now - it->second.lastUse > idleLimit) {
                ended.push_back(std::move(it->second.cursor));
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
        std::size_t ofSession = 0;
        for (const auto& [id, entry] : entries_)
            ofSession += entry.session == session ? 1 : 0;
        if (entries_.size() >= maxAll_ || ofSession >= maxPerSession_) {
            lock.unlock();
            closeAll(ended);
            throw AgentError::systemDetail(EBUSY, "too many " + many_ + " in progress");
        }
        const std::uint64_t id = nextId_++;
        entries_.emplace(id, Entry{session, device, std::move(cursor), now});
        lock.unlock();
        closeAll(ended);
        return id;
    }

    // The session's cursor `id`; throws AgentError for an unknown one (ended, or another
    // session's).
    std::shared_ptr<Cursor> find(std::uint64_t session, std::uint64_t id) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(id);
        if (it == entries_.end() || it->second.session != session)
            throw unknown(id);
        it->second.lastUse = std::chrono::steady_clock::now();
        return it->second.cursor;
    }

    AgentError unknown(std::uint64_t id) const {
        return AgentError::invalidParams("no such " + what_ + ": " + std::to_string(id));
    }

    // Takes the cursor out of the table without closing it; nothing when it is not the
    // session's.
    std::shared_ptr<Cursor> drop(std::uint64_t session, std::uint64_t id) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(id);
        if (it == entries_.end() || it->second.session != session)
            return nullptr;
        auto cursor = std::move(it->second.cursor);
        entries_.erase(it);
        return cursor;
    }

    // Drops and closes the cursor; false when there was none.
    bool end(std::uint64_t session, std::uint64_t id) {
        const auto cursor = drop(session, id);
        if (cursor)
            cursor->close();
        return cursor != nullptr;
    }

    void endSession(std::uint64_t session) {
        endWhere([&](const Entry& entry) { return entry.session == session; });
    }
    void endOnDevice(dev_t device) {
        endWhere([&](const Entry& entry) { return entry.device == device; });
    }
    void endAll() {
        endWhere([](const Entry&) { return true; });
    }

    std::size_t size() {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

private:
    struct Entry {
        std::uint64_t session;
        dev_t device;
        std::shared_ptr<Cursor> cursor;
        std::chrono::steady_clock::time_point lastUse;
    };

    static void closeAll(const std::vector<std::shared_ptr<Cursor>>& ended) {
        for (const auto& cursor : ended)
            if (cursor)
                cursor->close();
    }

    template <typename Predicate>
    void endWhere(Predicate matches) {
        std::vector<std::shared_ptr<Cursor>> ended;
        {
            std::lock_guard lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end();) {
                if (matches(it->second)) {
                    ended.push_back(std::move(it->second.cursor));
                    it = entries_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        closeAll(ended);
    }

    const std::size_t maxAll_;
    const std::size_t maxPerSession_;
    const std::string what_;
    const std::string many_;
    std::mutex mutex_;
    std::map<std::uint64_t, Entry> entries_;
    std::uint64_t nextId_ = 1;
};

}  // namespace quorvale::agent
