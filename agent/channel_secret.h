#pragma once
// The channel secret: every local user can reach a vsock port, so the host proves on each new
// connection that it is the app that started this VM. The app makes a random secret for every
// boot and hands it to the guest out of band, as a QEMU fw_cfg blob (the kernel's qemu_fw_cfg
// driver shows it under /sys/firmware/qemu_fw_cfg); it never appears on a command line. A
// connection's first line must be
//   {"jsonrpc":"2.0","id":N,"method":"authenticate","params":{"secret":"<hex>"}}
// answered {"result":true}; anything else is answered with an error, and nothing more is
// served on that connection.

#include <optional>
#include <string>
#include <string_view>

namespace quorvale::agent {

// Where the guest finds the secret the host put in fw_cfg.
inline constexpr const char* channelSecretFwCfg =
    "/sys/firmware/qemu_fw_cfg/by_name/opt/org.quorvale/channel-secret/raw";

inline constexpr std::string_view authenticateMethod = "authenticate";

class ChannelSecret {
public:
    // Secrets are hex text of 32 to 128 digits; surrounding whitespace is dropped.
    static std::optional<ChannelSecret> fromText(std::string_view text);
    // Reads one from a file (fw_cfg blob or a file given on the host); nothing when the file
    // is missing or holds no valid secret.
    static std::optional<ChannelSecret> fromFile(const std::string& path);

    // A secret nobody knows: what the guest holds when the host gave it none, so that it
    // serves no one rather than everyone.
    static ChannelSecret unknowable();

    // Whether `offered` is the secret. Takes the same time wherever the first difference is.
    bool matches(std::string_view offered) const;

private:
    explicit ChannelSecret(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

}  // namespace quorvale::agent
