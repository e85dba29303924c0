#pragma once
// Searches by name below a folder, across calls: "search" starts one and returns its first
// results, "search_next" goes on, "search_end" drops it. Each call walks only within a small
// budget (time, matches, entries), so results reach the host while the walk goes on and no
// call comes near the host's call timeout. The walk is a TreeWalk: no recursion, a bounded
// number of open directories, symlinks never followed; it never enters another filesystem
// mounted below the folder. Entries that cannot be read and folders that cannot be entered are
// counted and passed by. A search is a cursor of a CursorTable: it ends when done, or as
// cursors do.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "agent/cursor_table.h"
#include "agent/request_path.h"

namespace quorvale::agent {

struct Partition;

// `text` (valid UTF-8) with the capital letters of ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic made small; every other character stays as it is.
std::string foldCase(std::string_view text);

struct SearchBudget {
    std::size_t matches = 200;
    std::size_t entries = 20000;
    std::chrono::milliseconds time{300};
};

class Searches {
public:
    static constexpr std::size_t maxSearches = 16;
    static constexpr std::size_t maxPerSession = 4;
    static constexpr std::size_t defaultResults = 1000;
    static constexpr std::size_t maxResults = 10000;

    Searches();
    ~Searches();

    // Starts a search for entries whose names contain `query` (escaped text, compared with
    // foldCase) below `path`, at most `limit` of them; returns its id. Throws AgentError for
    // an empty query or when too many searches are running.
    std::uint64_t start(std::uint64_t session, std::shared_ptr<Partition> partition,
                        const RequestPath& path, std::string_view query, std::size_t limit);
    // The next results as JSON object text: {"search":ID,"entries":[...],"done":B,
    // "truncated":B,"unreadable":N}; entries are those of "list_dir" with their "path", N the
    // entries and folders passed by unread in this call. A search that is done is forgotten.
    // Throws AgentError for an unknown search (ended, or another session's).
    std::string next(std::uint64_t session, std::uint64_t id, const SearchBudget& budget = {});
    // Drops the search; false when there was none.
    bool end(std::uint64_t session, std::uint64_t id);
    void endSession(std::uint64_t session);
    // Ends the searches on the filesystem `device` (st_dev).
    void endOnDevice(dev_t device);
    void endAll();
    std::size_t size();

    struct Search;

private:
    CursorTable<Search> table_;
};

}  // namespace quorvale::agent
