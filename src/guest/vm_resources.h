#pragma once
// Where the VM's kernel and RAM disk live: <prefix>/share/quorvale when installed,
// <build>/share/quorvale when run from the build tree, or $QUORVALE_RESOURCES_DIR when set.
// Each resource is looked up in the "vm" subdirectory first, then at the top.

#include <QString>
#include <optional>

namespace quorvale::guest {

class VMResources {
public:
    explicit VMResources(QString resourcesDir) : resourcesDir(std::move(resourcesDir)) {}
    static VMResources forApplication();

    // Resource lookup for `name` (e.g. "vmlinuz", "initramfs.img"); nullopt when absent.
    std::optional<QString> find(const QString& name) const;
    std::optional<QString> kernel() const { return find(QStringLiteral("vmlinuz")); }
    std::optional<QString> initramfs() const { return find(QStringLiteral("initramfs.img")); }

    QString resourcesDir;

    static constexpr const char* overrideVariable = "QUORVALE_RESOURCES_DIR";
    // The directory chosen for an executable in `applicationDir`.
    static QString locate(const QString& applicationDir);
};

}  // namespace quorvale::guest
