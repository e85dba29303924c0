#include "rpc/line_buffer.h"

#include <algorithm>
#include <cstring>

#include "rpc/large_buffer.h"

namespace quorvale::rpc {

namespace {
// Storage up to this size is kept for reuse; the storage of a long line that has passed is
// given back instead of staying allocated for the life of the stream.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;
// Lines from this length on leave with the storage instead of being copied out.
constexpr std::size_t kHandOverBytes = std::size_t{64} << 10;
}  // namespace

void LineBuffer::append(std::string_view bytes) {
    // Compact before growing when more than half of the storage is consumed.
    if (start_ > 0 && start_ >= data_.size() / 2) {
        data_.erase(0, start_);
        start_ = 0;
        if (data_.capacity() > kKeptCapacity && data_.size() + bytes.size() < data_.capacity() / 4)
            data_.shrink_to_fit();
    }
    const std::size_t needed = data_.size() + bytes.size();
    if (needed > data_.capacity())
        reserveLarge(data_, std::max(needed, 2 * data_.capacity()));
    data_.append(bytes);
}

std::optional<std::string> LineBuffer::nextLine() {
    if (overflowed())
        return std::nullopt;
    const std::size_t from = start_ + scanned_;
    if (from >= data_.size())
        return std::nullopt;
    const void* hit = std::memchr(data_.data() + from, '\n', data_.size() - from);
    if (!hit) {
        scanned_ = data_.size() - start_;
        return std::nullopt;
    }
    const auto end = static_cast<std::size_t>(static_cast<const char*>(hit) - data_.data());
    if (end - start_ > maxLineBytes_) {
        tooLong_ = true;
        return std::nullopt;
    }
    std::string line;
    const std::size_t rest = data_.size() - end - 1;
    if (start_ == 0 && end >= kHandOverBytes && rest < end) {
        // A long line fills most of the storage: hand the storage over with the line and keep
        // only the short rest, instead of copying the long line out.
        std::string tail(data_, end + 1);
        data_.resize(end);
        line.swap(data_);
        data_.swap(tail);
    } else {
        line.assign(data_, start_, end - start_);
        start_ = end + 1;
    }
    scanned_ = 0;
    if (start_ == data_.size())
        clear();
    return line;
}

void LineBuffer::clear() {
    tooLong_ = false;
    if (data_.capacity() > kKeptCapacity)
        std::string().swap(data_);
    else
        data_.clear();
    start_ = 0;
    scanned_ = 0;
}

}  // namespace quorvale::rpc
