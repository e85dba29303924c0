#include "agent/name_search.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <vector>

#include "agent/agent_error.h"
#include "agent/json_writer.h"
#include "agent/listing.h"
#include "agent/partition.h"
#include "agent/tree_walk.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

char32_t foldCodePoint(char32_t c) {
    if (c >= U'A' && c <= U'Z')
        return c + 32;
    if (c < 0xC0)
        return c;
    if (c <= 0xDE)
        return c == 0xD7 ? c : c + 32;  // Latin-1, but not the multiplication sign
    if (c >= 0x100 && c <= 0x137)
        return c | 1;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return c % 2 == 1 ? c + 1 : c;
    if (c >= 0x14A && c <= 0x177)
        return c | 1;
    if (c == 0x178)
        return 0xFF;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
        return c + 32;
    if (c == 0x386)
        return 0x3AC;
    if (c >= 0x388 && c <= 0x38A)
        return c + 37;
    if (c == 0x38C)
        return 0x3CC;
    if (c == 0x38E || c == 0x38F)
        return c + 63;
    if (c >= 0x400 && c <= 0x40F)
        return c + 80;
    if (c >= 0x410 && c <= 0x42F)
        return c + 32;
    return c;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string foldCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // Only one- and two-byte sequences (below U+0800) are ever changed.
        if (byte < 0x80) {
            out += static_cast<char>(foldCodePoint(byte));
            ++i;
        } else if ((byte & 0xE0) == 0xC0 && i + 1 < text.size()) {
            const char32_t c = (static_cast<char32_t>(byte & 0x1F) << 6) |
                               (static_cast<unsigned char>(text[i + 1]) & 0x3F);
            appendUtf8(out, foldCodePoint(c));
            i += 2;
        } else {
            out += text[i];
            ++i;
        }
    }
    return out;
}

// One search: its walk, what it looks for and how far it got. Used by one call at a time.
struct Searches::Search : TreeWalk::Visitor {
    Search(std::shared_ptr<Partition> partition, UniqueFd top, const RequestPath& path,
           std::string query, std::size_t limit)
        : partition(std::move(partition)),
          walk(std::in_place, std::move(top), path.display, Temporaries::skip,
               TreeWalk::Vanished::skip, TreeWalk::Reading::inPieces),
          query(std::move(query)),
          limit(limit) {
        names = this->partition->accounts.tables(this->partition->root);
    }

    bool visit(int dirFd, const char* name, const struct stat& st) override {
        ++visited;
        const std::string shown = escapeName(name);
        if (foldCase(shown).find(query) != std::string::npos) {
            if (batchMatches > 0)
                batch += ',';
            batch += R"({"path":)";
            appendJSONString(batch, walk->display(name));
            batch += ',';
            std::string entry;
            if (S_ISLNK(st.st_mode)) {
                const auto target = readLinkAt(dirFd, name, static_cast<std::size_t>(st.st_size));
                appendEntryJSON(entry, name, st, *names, &target);
            } else {
                appendEntryJSON(entry, name, st, *names, nullptr);
            }
            batch.append(entry, 1);  // without its opening brace
            ++batchMatches;
            ++found;
        }
        // Never into another filesystem mounted below the folder.
        return S_ISDIR(st.st_mode) && st.st_dev == device;
    }

    void unreadable(const std::string&, int) override { ++batchUnreadable; }

    bool pause() override {
        if (found >= limit || batchMatches >= budget.matches || visited >= budget.entries)
            return true;
        // The clock is read every few entries only.
        return visited % 64 == 0 && std::chrono::steady_clock::now() >= deadline;
    }

    std::shared_ptr<Partition> partition;
    std::shared_ptr<const AccountNames::Tables> names;
    std::optional<TreeWalk> walk;  // gone once the search has ended
    dev_t device = 0;
    const std::string query;
    const std::size_t limit;
    std::size_t found = 0;
    std::mutex callMutex;
    // The call in progress.
    SearchBudget budget;
    std::chrono::steady_clock::time_point deadline;
    std::size_t visited = 0;
    std::size_t batchMatches = 0;
    std::size_t batchUnreadable = 0;
    std::string batch;

    // Closes the walk's directories once a call in progress has finished with them.
    void close() {
        std::lock_guard call(callMutex);
        walk.reset();
    }
};

Searches::Searches() : table_(maxSearches, maxPerSession, "search", "searches") {}
Searches::~Searches() = default;

std::uint64_t Searches::start(std::uint64_t session, std::shared_ptr<Partition> partition,
                              const RequestPath& path, std::string_view query, std::size_t limit) {
    if (query.empty())
        throw AgentError::invalidParams("\"query\" is empty");
    if (!isValidUtf8(query))
        throw AgentError::invalidParams("\"query\" is not valid UTF-8");
    auto top = partition->root.openDirectory(path);
    struct stat st {};
    if (::fstat(top.get(), &st) != 0)
        throw AgentError::system(errno, path.display);
    auto search = std::make_shared<Search>(std::move(partition), std::move(top), path,
                                           foldCase(query), std::min(limit, maxResults));
    search->device = st.st_dev;
    return table_.add(session, st.st_dev, std::move(search));
}

std::string Searches::next(std::uint64_t session, std::uint64_t id, const SearchBudget& budget) {
    const std::shared_ptr<Search> search = table_.find(session, id);
    bool done = false;
    std::string reply;
    {
        std::lock_guard call(search->callMutex);
        if (!search->walk)
            throw table_.unknown(id);
        search->budget = budget;
        search->deadline = std::chrono::steady_clock::now() + budget.time;
        search->visited = 0;
        search->batchMatches = 0;
        search->batchUnreadable = 0;
        search->batch.clear();
        try {
            done = search->walk->finished() || search->walk->resume(*search) ||
                   search->found >= search->limit;
        } catch (...) {
            search->walk.reset();
            table_.drop(session, id);
            throw;
        }
        reply = R"({"search":)" + std::to_string(id) + R"(,"entries":[)";
        reply += search->batch;
        reply += R"(],"done":)";
        appendJSONBool(reply, done);
        reply += R"(,"truncated":)";
        appendJSONBool(reply, done && search->found >= search->limit && !search->walk->finished());
        reply += R"(,"unreadable":)";
        appendJSONNumber(reply, static_cast<std::int64_t>(search->batchUnreadable));
        reply += '}';
        search->batch = std::string();
        if (done)
            search->walk.reset();
    }
    if (done)
        table_.drop(session, id);
    return reply;
}

bool Searches::end(std::uint64_t session, std::uint64_t id) {
    return table_.end(session, id);
}

void Searches::endSession(std::uint64_t session) {
    table_.endSession(session);
}

void Searches::endOnDevice(dev_t device) {
    table_.endOnDevice(device);
}

void Searches::endAll() {
    table_.endAll();
}

std::size_t Searches::size() {
    return table_.size();
}

}  // namespace quorvale::agent
