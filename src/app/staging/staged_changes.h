#pragma once
// Staged changes of one card: a qcow2 overlay in the cache directory takes every write of the
// guest while the card stays its read-only backing, and a record (a JSON file) keeps the
// overlay's path, the card's identity and the operations done. Both are plain files, so the
// changes survive a crash of the app or of the VM and are found again at the next mount of the
// same card. The overlay carries no backing file name: nothing but the VM, given the card's
// descriptor, ever reads the card below it.
//
// A card is the same card when its filesystem UUID and its size match the record; it is
// unchanged when its superblock is byte for byte the one recorded (any mount elsewhere rewrites
// it). An overlay is only ever applied to the same, unchanged card.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <stdexcept>

namespace quorvale::fileops {
struct Change;
}

namespace quorvale::app {

struct StagedError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CardIdentity {
    QString uuid;             // the filesystem UUID, as blkid writes it
    std::int64_t size = 0;    // the whole card, bytes
    QString source;           // image path or device name, for people
    QString partition;        // the staged partition's name
    std::int64_t offset = 0;  // the partition's offset on the card
    QString superblock;       // SHA-256 of the partition's primary superblock, hex

    // Reads the identity of the ext partition at `offset` of the card open as `fd`. Throws
    // StagedError when there is no ext superblock there.
    static CardIdentity read(int fd, std::int64_t offset, QString source, QString partition);

    enum class Match { same, otherCard, changed };
    // How the card now compares with this recorded identity.
    Match compare(const CardIdentity& now) const;
    // Why `match` refuses the card, for a banner or a line of stderr.
    QString refusal(Match match) const;

    QJsonObject toJson() const;
    static std::optional<CardIdentity> fromJson(const QJsonObject& json);
};

struct StagedOperation {
    enum class Kind { upload, newFolder, rename, move, duplicate, remove };
    Kind kind = Kind::upload;
    QString path;    // the entry acted on
    QString target;  // rename: the new name; move, duplicate: where to
    std::uint64_t bytes = 0;

    // One line for the pending-changes list: "Upload /a.bin (3 MB)".
    QString description() const;
    bool operator==(const StagedOperation&) const = default;
};

// The operation a change sent to the guest stands for; `entryBytes` is the size of the entry
// deleted or duplicated, when known (a write carries its own).
StagedOperation stagedOperationFor(const fileops::Change& change, std::uint64_t entryBytes = 0);

struct StagedRecord {
    QString overlay;  // the qcow2 file
    CardIdentity card;
    QList<StagedOperation> operations;

    // Bytes written by uploads and duplicates.
    std::uint64_t stagedBytes() const;
    QJsonObject toJson() const;
    // Nothing for a record of the wrong shape.
    static std::optional<StagedRecord> fromJson(const QJsonObject& json);
};

// The files of staged changes: records, overlays and the room they need.
class StagedStore {
public:
    // $XDG_CACHE_HOME/quorvale/staged, made (0700) when missing.
    static QString defaultDirectory();
    // Throws StagedError for a missing, unreadable or malformed record.
    static StagedRecord load(const QString& recordPath);
    // Replaces the record atomically (0600). Throws StagedError.
    static void save(const StagedRecord& record, const QString& recordPath);
    // Records in `directory` whose card is `card` (same UUID and size), newest first.
    static QStringList recordsFor(const CardIdentity& card, const QString& directory);
    // A new empty overlay of `size` bytes at a fresh path in `directory` (qemu-img, no
    // backing file). Throws StagedError.
    static QString createOverlay(const QString& directory, std::int64_t size);
    // Deletes the overlay and the record; a missing file is no failure.
    static void discard(const QString& recordPath);
    // Refuses when the file system holding `directory` has not room for `bytes` more in an
    // overlay (with its metadata and a margin). Throws StagedError.
    static void checkRoom(const QString& directory, std::uint64_t bytes);
    // The free bytes checkRoom() compares with, for tests and messages.
    static std::uint64_t roomNeeded(std::uint64_t bytes);
};

}  // namespace quorvale::app
