#pragma once
// Splits a byte stream into newline-terminated lines. Appending is amortised linear: the
// search resumes where it stopped and consumed bytes are dropped in bulk, so a line of any
// length costs O(length). A line longer than `maxLineBytes` is an overflow, whether or not its
// newline has arrived: once overflowed, no further line is returned until clear().

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::rpc {

class LineBuffer {
public:
    static constexpr std::size_t defaultMaxLineBytes = std::size_t{256} << 20;  // 256 MiB

    explicit LineBuffer(std::size_t maxLineBytes = defaultMaxLineBytes)
        : maxLineBytes_(maxLineBytes) {}

    void append(std::string_view bytes);
    // The next complete line without its 0x0A (possibly empty), or nothing yet.
    std::optional<std::string> nextLine();
    // True when a line, complete or not, has grown past the limit.
    // (An unfinished line counts once nextLine() has looked at it, that is after it returned
    // nothing.)
    bool overflowed() const { return tooLong_ || scanned_ > maxLineBytes_; }
    std::size_t pendingBytes() const { return data_.size() - start_; }
    // The first bytes (at most `size`) of the line not yet returned.
    std::string_view pendingPrefix(std::size_t size) const {
        return std::string_view(data_).substr(start_, size);
    }
    void clear();

private:
    std::string data_;
    std::size_t start_ = 0;    // first byte not yet returned
    std::size_t scanned_ = 0;  // bytes from start_ known to hold no newline
    std::size_t maxLineBytes_;
    bool tooLong_ = false;  // a complete line over the limit was found
};

// One frame on the wire: the JSON text followed by 0x0A.
inline std::string frame(std::string json) {
    json.push_back('\n');
    return json;
}

}  // namespace quorvale::rpc
