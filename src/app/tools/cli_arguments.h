#pragma once
// The command line of quorvale-cli. A SOURCE is a disk-image file or a device name, optionally
// followed by ":PARTITION" (a partition name or number; default: the first ext4 partition). A
// remote path is written either plainly, on the one SOURCE given before the arguments, or as
// SOURCE:PATH (PATH starting with "/"), naming its own source; commands whose remote paths all
// name their source need no SOURCE before them:
//
//   ls SOURCE /docs          ls card.img:/docs        cp a.img:/etc b.img:2:/etc
//   put SOURCE up.bin /      put up.bin card.img:/

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>
#include <vector>

namespace quorvale::app::cli {

struct SourceSpec {
    QString source;     // image path or device name
    QString partition;  // empty: the first ext4 partition
    bool operator==(const SourceSpec&) const = default;
};

// Splits "SOURCE[:PARTITION]"; an existing file path is taken whole.
SourceSpec parseSource(const QString& text);

struct RemoteSpec {
    SourceSpec source;
    QString path;
};

// "SOURCE[:PARTITION]:/PATH" where SOURCE is an existing file or a whole-disk name; nothing for
// anything else (a plain path).
std::optional<RemoteSpec> parseRemote(const QString& text);

// What each argument of a command is.
enum class Role { remote, local, name };

struct CommandShape {
    QString name;
    std::vector<Role> roles;
    bool lastRepeats = false;  // the last role may be given any number of times (at least once)
};

// A command line resolved: the sources in order of first mention and, per argument, its text
// (the path alone for a remote one) and the index of its source (-1 for other roles).
struct Invocation {
    std::vector<SourceSpec> sources;
    QStringList values;
    std::vector<int> sourceOf;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `args` are the command's arguments (after its name). Throws UsageError.
Invocation resolveArguments(const CommandShape& shape, const QStringList& args);

}  // namespace quorvale::app::cli
