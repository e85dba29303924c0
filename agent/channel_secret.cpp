#include "agent/channel_secret.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "rpc/unique_fd.h"

namespace quorvale::agent {

namespace {

constexpr std::size_t minimumDigits = 32;
constexpr std::size_t maximumDigits = 128;

}  // namespace

std::optional<ChannelSecret> ChannelSecret::fromText(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    if (text.size() < minimumDigits || text.size() > maximumDigits)
        return std::nullopt;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    }
    return ChannelSecret(std::string(text));
}

std::optional<ChannelSecret> ChannelSecret::fromFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd)
        return std::nullopt;
    char buffer[maximumDigits + 16];
    std::size_t size = 0;
    for (;;) {
        const auto n = ::read(fd.get(), buffer + size, sizeof buffer - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        size += static_cast<std::size_t>(n);
        if (size == sizeof buffer)
            return std::nullopt;  // longer than any secret
    }
    return fromText(std::string_view(buffer, size));
}

ChannelSecret ChannelSecret::unknowable() {
    unsigned char bytes[32];
    std::size_t done = 0;
    while (done < sizeof bytes) {
        const auto n = ::getrandom(bytes + done, sizeof bytes - done, 0);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            std::abort();  // no randomness at all: serving anyone would be worse
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) {
        text += hex[b >> 4];
        text += hex[b & 0xF];
    }
    return ChannelSecret(std::move(text));
}

bool ChannelSecret::matches(std::string_view offered) const {
    // No early exit: every digit of the secret is compared whatever came before.
    unsigned difference = offered.size() == text_.size() ? 0u : 1u;
    for (std::size_t i = 0; i < text_.size(); ++i) {
        const char theirs = i < offered.size() ? offered[i] : '\0';
        difference |= static_cast<unsigned char>(text_[i] ^ theirs);
    }
    return difference == 0;
}

}  // namespace quorvale::agent
