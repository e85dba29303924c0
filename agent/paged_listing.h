#pragma once
// Paged listings: "list_dir_start" opens a directory and answers its first entries,
// "list_dir_next" the next ones, each call reading only within a small budget, so the first
// entries of a folder of any size reach the host at once and no call comes near its timeout.
// The entries are those of "list_dir", unreadable ones included. A listing is a cursor of a
// CursorTable: it ends when done, or as cursors do.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "agent/cursor_table.h"
#include "agent/request_path.h"

namespace quorvale::agent {

struct Partition;

struct PageBudget {
    std::size_t entries = 2000;
    std::size_t bytes = std::size_t{1} << 20;
    std::chrono::milliseconds time{200};
};

class Listings {
public:
    static constexpr std::size_t maxListings = 16;
    static constexpr std::size_t maxPerSession = 4;

    Listings();
    ~Listings();

    // Opens the directory `path`; returns the listing's id. Throws AgentError when it cannot
    // be opened or too many listings are open.
    std::uint64_t start(std::uint64_t session, std::shared_ptr<Partition> partition,
                        const RequestPath& path);
    // The next page as JSON object text: {"listing":ID,"entries":[...],"done":B}. A listing
    // that is done, or that fails, is forgotten. Throws AgentError for an unknown listing, or
    // when the directory cannot be read on.
    std::string next(std::uint64_t session, std::uint64_t id, const PageBudget& budget = {});
    bool end(std::uint64_t session, std::uint64_t id);
    void endSession(std::uint64_t session);
    void endOnDevice(dev_t device);
    void endAll();
    std::size_t size();

    struct Listing;

private:
    CursorTable<Listing> table_;
};

}  // namespace quorvale::agent
