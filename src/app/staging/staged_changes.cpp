#include "app/staging/staged_changes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fileops/file_operation_service.h"
#include "model/display_format.h"
#include "rpc/ext_superblock.h"
#include "rpc/unique_fd.h"

namespace quorvale::app {
namespace {

constexpr std::int64_t superblockOffset = 1024;
constexpr std::int64_t superblockSize = 1024;

struct KindName {
    StagedOperation::Kind kind;
    const char* name;
};
constexpr KindName kindNames[] = {
    {StagedOperation::Kind::upload, "upload"},  {StagedOperation::Kind::newFolder, "mkdir"},
    {StagedOperation::Kind::rename, "rename"},  {StagedOperation::Kind::move, "move"},
    {StagedOperation::Kind::duplicate, "copy"}, {StagedOperation::Kind::remove, "delete"},
};

std::int64_t cardSize(int fd) {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0)
        throw StagedError(std::string("cannot size the card: ") + std::strerror(errno));
    return end;
}

std::int64_t integer(const QJsonValue& value) {
    return static_cast<std::int64_t>(value.toDouble(-1));
}

// The primary superblock of the partition at `offset`, read in whole aligned blocks into an
// aligned buffer: once the VM uses the card, QEMU has set O_DIRECT on the open file description
// that the app's handle shares, and a direct read of any other shape fails with EINVAL.
std::string readSuperblock(int fd, std::int64_t offset, const QString& partition) {
    constexpr std::int64_t block = 4096;
    const std::int64_t start = offset + superblockOffset;
    const std::int64_t first = start / block * block;
    const auto span =
        static_cast<std::size_t>((start + superblockSize - first + block - 1) / block * block);
    void* memory = nullptr;
    if (::posix_memalign(&memory, block, span) != 0)
        throw StagedError("cannot read the superblock of " + partition.toStdString() +
                          ": out of memory");
    const std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(memory),
                                                             &std::free);
    std::size_t got = 0;
    while (got < span) {
        const ssize_t n = ::pread(fd, buffer.get() + got, span - got,
                                  static_cast<off_t>(first) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw StagedError("cannot read the superblock of " + partition.toStdString() + ": " +
                              std::strerror(errno));
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got < static_cast<std::size_t>(start + superblockSize - first))
        throw StagedError("cannot read the superblock of " + partition.toStdString() +
                          ": the card ends before it");
    return std::string(buffer.get() + (start - first), superblockSize);
}

}  // namespace

CardIdentity CardIdentity::read(int fd, std::int64_t offset, QString source, QString partition) {
    const std::string bytes = readSuperblock(fd, offset, partition);
    const auto superblock = rpc::parseExtSuperblock(bytes);
    if (!superblock)
        throw StagedError("no ext filesystem on " + partition.toStdString());
    CardIdentity identity;
    identity.uuid = QString::fromStdString(superblock->uuidText());
    identity.size = cardSize(fd);
    identity.source = std::move(source);
    identity.partition = std::move(partition);
    identity.offset = offset;
    identity.superblock = QString::fromLatin1(
        QCryptographicHash::hash(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                 QCryptographicHash::Sha256)
            .toHex());
    return identity;
}

CardIdentity::Match CardIdentity::compare(const CardIdentity& now) const {
    if (uuid != now.uuid || size != now.size || offset != now.offset)
        return Match::otherCard;
    return superblock == now.superblock ? Match::same : Match::changed;
}

QString CardIdentity::refusal(Match match) const {
    switch (match) {
        case Match::same:
            return {};
        case Match::otherCard:
            return QStringLiteral("the staged changes belong to another card (filesystem %1, %2)")
                .arg(uuid, model::byteCountText(size));
        case Match::changed:
            return QStringLiteral(
                "the card was changed since its changes were staged; they can "
                "only be discarded");
    }
    return {};
}

QJsonObject CardIdentity::toJson() const {
    return QJsonObject{
        {"uuid", uuid},
        {"size", static_cast<double>(size)},
        {"source", source},
        {"partition", partition},
        {"offset", static_cast<double>(offset)},
        {"superblock_sha256", superblock},
    };
}

std::optional<CardIdentity> CardIdentity::fromJson(const QJsonObject& json) {
    CardIdentity identity;
    identity.uuid = json.value("uuid").toString();
    identity.size = integer(json.value("size"));
    identity.source = json.value("source").toString();
    identity.partition = json.value("partition").toString();
    identity.offset = integer(json.value("offset"));
    identity.superblock = json.value("superblock_sha256").toString();
    if (identity.uuid.isEmpty() || identity.size <= 0 || identity.offset < 0 ||
        identity.superblock.size() != 64 || identity.partition.isEmpty())
        return std::nullopt;
    return identity;
}

QString StagedOperation::description() const {
    const QString size =
        bytes > 0 ? QStringLiteral(" (%1)").arg(model::byteCountText(static_cast<qint64>(bytes)))
                  : QString();
    switch (kind) {
        case Kind::upload:
            return QStringLiteral("Upload %1%2").arg(path, size);
        case Kind::newFolder:
            return QStringLiteral("New folder %1").arg(path);
        case Kind::rename:
            return QStringLiteral("Rename %1 to %2").arg(path, target);
        case Kind::move:
            return QStringLiteral("Move %1 to %2").arg(path, target);
        case Kind::duplicate:
            return QStringLiteral("Duplicate %1 as %2%3").arg(path, target, size);
        case Kind::remove:
            return QStringLiteral("Delete %1%2").arg(path, size);
    }
    return path;
}

namespace {

// A copy between partitions names both ends "partition:/path"; the end on the partition the
// change is recorded for goes by its path alone.
QString onPartition(const QString& path, const std::optional<QString>& partition) {
    if (partition && path.startsWith(*partition + QLatin1Char(':')))
        return path.mid(partition->size() + 1);
    return path;
}

}  // namespace

StagedOperation stagedOperationFor(const fileops::Change& change, std::uint64_t entryBytes) {
    using Kind = StagedOperation::Kind;
    using Changed = fileops::Change::Kind;
    switch (change.kind) {
        case Changed::deleted:
            return {Kind::remove, change.path, {}, entryBytes};
        case Changed::renamed:
            return {Kind::rename, change.path, change.target, 0};
        case Changed::copied:
            return {Kind::duplicate, onPartition(change.path, change.partition),
                    onPartition(change.target, change.partition), entryBytes};
        case Changed::moved:
            return {Kind::move, change.path, change.target, 0};
        case Changed::folderCreated:
            return {Kind::newFolder, change.path, {}, 0};
        case Changed::linked:
        case Changed::written:
            break;
    }
    return {Kind::upload, change.path, {}, change.bytes};
}

std::uint64_t StagedRecord::stagedBytes() const {
    std::uint64_t total = 0;
    for (const StagedOperation& operation : operations)
        if (operation.kind == StagedOperation::Kind::upload ||
            operation.kind == StagedOperation::Kind::duplicate)
            total += operation.bytes;
    return total;
}

QJsonObject StagedRecord::toJson() const {
    QJsonArray done;
    for (const StagedOperation& operation : operations) {
        const auto name =
            std::find_if(std::begin(kindNames), std::end(kindNames),
                         [&](const KindName& entry) { return entry.kind == operation.kind; });
        QJsonObject entry{{"op", QLatin1String(name->name)}, {"path", operation.path}};
        if (!operation.target.isEmpty())
            entry.insert("target", operation.target);
        if (operation.bytes > 0)
            entry.insert("bytes", static_cast<double>(operation.bytes));
        done.append(entry);
    }
    return QJsonObject{
        {"version", 1}, {"overlay", overlay}, {"card", card.toJson()}, {"operations", done}};
}

std::optional<StagedRecord> StagedRecord::fromJson(const QJsonObject& json) {
    if (json.value("version").toInt() != 1)
        return std::nullopt;
    StagedRecord record;
    record.overlay = json.value("overlay").toString();
    const auto card = CardIdentity::fromJson(json.value("card").toObject());
    if (record.overlay.isEmpty() || !QDir::isAbsolutePath(record.overlay) || !card)
        return std::nullopt;
    record.card = *card;
    for (const QJsonValue& value : json.value("operations").toArray()) {
        const QJsonObject entry = value.toObject();
        const QString op = entry.value("op").toString();
        const auto name =
            std::find_if(std::begin(kindNames), std::end(kindNames),
                         [&](const KindName& known) { return op == QLatin1String(known.name); });
        if (name == std::end(kindNames) || entry.value("path").toString().isEmpty())
            return std::nullopt;
        StagedOperation operation;
        operation.kind = name->kind;
        operation.path = entry.value("path").toString();
        operation.target = entry.value("target").toString();
        const std::int64_t bytes = integer(entry.value("bytes"));
        operation.bytes = bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
        record.operations.append(operation);
    }
    return record;
}

QString StagedStore::defaultDirectory() {
    const QString directory =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
        QStringLiteral("/quorvale/staged");
    QDir().mkpath(directory);
    QFile::setPermissions(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return directory;
}

StagedRecord StagedStore::load(const QString& recordPath) {
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly))
        throw StagedError("cannot read the staged changes " + recordPath.toStdString() + ": " +
                          file.errorString().toStdString());
    // A record is small; anything larger is not one of ours.
    const QByteArray bytes = file.read(4 * 1024 * 1024);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const auto record =
        document.isObject() ? StagedRecord::fromJson(document.object()) : std::nullopt;
    if (!record)
        throw StagedError(recordPath.toStdString() + " is not a record of staged changes");
    return *record;
}

void StagedStore::save(const StagedRecord& record, const QString& recordPath) {
    QSaveFile file(recordPath);
    if (!file.open(QIODevice::WriteOnly))
        throw StagedError("cannot write " + recordPath.toStdString() + ": " +
                          file.errorString().toStdString());
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    file.write(QJsonDocument(record.toJson()).toJson());
    if (!file.commit())
        throw StagedError("cannot write " + recordPath.toStdString() + ": " +
                          file.errorString().toStdString());
}

QStringList StagedStore::recordsFor(const CardIdentity& card, const QString& directory) {
    QStringList found;
    const QFileInfoList entries =
        QDir(directory).entryInfoList({QStringLiteral("*.json")}, QDir::Files, QDir::Time);
    for (const QFileInfo& entry : entries) {
        try {
            const StagedRecord record = load(entry.filePath());
            if (record.card.compare(card) != CardIdentity::Match::otherCard)
                found << entry.filePath();
        } catch (const StagedError&) {
            // Not ours or half written: left alone.
        }
    }
    return found;
}

QString StagedStore::createOverlay(const QString& directory, std::int64_t size) {
    const QString path = QDir(directory).filePath(
        QStringLiteral("overlay-%1.qcow2").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    // Made first, private and exclusively, so that qemu-img fills a file that is ours.
    const UniqueFd made(::open(QFile::encodeName(path).constData(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!made)
        throw StagedError("cannot create an overlay in " + directory.toStdString() + ": " +
                          std::strerror(errno));
    QProcess qemuImg;
    qemuImg.setProcessChannelMode(QProcess::MergedChannels);
    qemuImg.start(QStringLiteral("qemu-img"),
                  {QStringLiteral("create"), QStringLiteral("-q"), QStringLiteral("-f"),
                   QStringLiteral("qcow2"), path, QString::number(size)});
    const bool finished = qemuImg.waitForFinished(60000);
    if (!finished || qemuImg.exitStatus() != QProcess::NormalExit || qemuImg.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(qemuImg.readAll()).trimmed();
        QFile::remove(path);
        throw StagedError("qemu-img cannot create the overlay: " +
                          (output.isEmpty() ? qemuImg.errorString() : output).toStdString());
    }
    return path;
}

void StagedStore::discard(const QString& recordPath) {
    try {
        const StagedRecord record = load(recordPath);
        QFile::remove(record.overlay);
    } catch (const StagedError&) {
    }
    QFile::remove(recordPath);
}

std::uint64_t StagedStore::roomNeeded(std::uint64_t bytes) {
    // qcow2 metadata is well under 1% at 64 KiB clusters; the margin keeps the file system
    // usable for everything else.
    return bytes + bytes / 64 + 64ull * 1024 * 1024;
}

void StagedStore::checkRoom(const QString& directory, std::uint64_t bytes) {
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(directory).constData(), &fs) < 0)
        throw StagedError("cannot see the free space of " + directory.toStdString() + ": " +
                          std::strerror(errno));
    const std::uint64_t free = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    if (free < roomNeeded(bytes))
        throw StagedError(
            QStringLiteral("not enough space for the staged changes in %1: %2 needed, %3 free")
                .arg(directory, model::byteCountText(static_cast<qint64>(roomNeeded(bytes))),
                     model::byteCountText(static_cast<qint64>(free)))
                .toStdString());
}

}  // namespace quorvale::app
