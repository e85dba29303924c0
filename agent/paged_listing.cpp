#include "agent/paged_listing.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <optional>

#include "agent/agent_error.h"
#include "agent/directory_reader.h"
#include "agent/json_writer.h"
#include "agent/listing.h"
#include "agent/partition.h"

namespace quorvale::agent {

// One open listing. Used by one call at a time.
struct Listings::Listing {
    Listing(std::shared_ptr<Partition> partition, UniqueFd dir, const RequestPath& path)
        : partition(std::move(partition)), dir(std::move(dir)) {
        reader.emplace(this->dir.get(), path.display);
        names = this->partition->accounts.tables(this->partition->root);
    }

    // Closes the directory once a call in progress has finished with it.
    void close() {
        std::lock_guard call(callMutex);
        reader.reset();
        dir.reset();
    }

    std::shared_ptr<Partition> partition;
    UniqueFd dir;
    std::optional<DirectoryReader> reader;  // gone once the listing has ended
    std::shared_ptr<const AccountNames::Tables> names;
    std::mutex callMutex;
};

Listings::Listings() : table_(maxListings, maxPerSession, "listing", "listings") {}
Listings::~Listings() = default;

std::uint64_t Listings::start(std::uint64_t session, std::shared_ptr<Partition> partition,
                              const RequestPath& path) {
    auto dir = partition->root.openDirectory(path);
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0)
        throw AgentError::system(errno, path.display);
    return table_.add(session, st.st_dev,
                      std::make_shared<Listing>(std::move(partition), std::move(dir), path));
}

std::string Listings::next(std::uint64_t session, std::uint64_t id, const PageBudget& budget) {
    const std::shared_ptr<Listing> listing = table_.find(session, id);
    std::string reply = R"({"listing":)" + std::to_string(id) + R"(,"entries":[)";
    bool done = false;
    {
        std::lock_guard call(listing->callMutex);
        if (!listing->reader)
            throw table_.unknown(id);
        const auto deadline = std::chrono::steady_clock::now() + budget.time;
        const std::size_t start = reply.size();
        reply.reserve(std::min(budget.bytes, std::size_t{256} << 10));
        std::size_t count = 0;
        try {
            // The clock is read every few entries only.
            while (count < budget.entries && reply.size() - start < budget.bytes &&
                   (count % 32 != 0 || count == 0 || std::chrono::steady_clock::now() < deadline)) {
                const dirent* entry = listing->reader->next();
                if (!entry) {
                    done = true;
                    break;
                }
                const auto before = reply.size();
                if (count > 0)
                    reply += ',';
                if (appendListedEntry(reply, listing->dir.get(), entry->d_name, *listing->names))
                    ++count;
                else
                    reply.resize(before);
            }
        } catch (...) {
            listing->reader.reset();
            listing->dir.reset();
            table_.drop(session, id);
            throw;
        }
        if (done) {
            listing->reader.reset();
            listing->dir.reset();
        }
    }
    if (done)
        table_.drop(session, id);
    reply += R"(],"done":)";
    appendJSONBool(reply, done);
    reply += '}';
    return reply;
}

bool Listings::end(std::uint64_t session, std::uint64_t id) {
    return table_.end(session, id);
}

void Listings::endSession(std::uint64_t session) {
    table_.endSession(session);
}

void Listings::endOnDevice(dev_t device) {
    table_.endOnDevice(device);
}

void Listings::endAll() {
    table_.endAll();
}

std::size_t Listings::size() {
    return table_.size();
}

}  // namespace quorvale::agent
