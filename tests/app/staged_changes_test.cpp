// Staged changes on the host: a card's identity read from real ext4 filesystems (mkfs.ext4),
// records written and read back, overlays made by qemu-img, and the room an overlay needs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/staging/staged_changes.h"
#include "fileops/file_operation_service.h"
#include "rpc/unique_fd.h"

namespace quorvale::app {
namespace {

// An ext4 filesystem of `megabytes` MiB at `offset` in a new file `path`; false when mkfs.ext4
// cannot run.
bool makeExt4(const QString& path, int megabytes, qint64 offset = 0) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(offset + qint64(megabytes) * 1024 * 1024))
        return false;
    file.close();
    QProcess mkfs;
    QStringList args{"-q", "-F"};
    if (offset > 0)
        args << "-E" << QStringLiteral("offset=%1").arg(offset);
    args << path << QStringLiteral("%1M").arg(megabytes);
    mkfs.start("mkfs.ext4", args);
    return mkfs.waitForFinished(60000) && mkfs.exitStatus() == QProcess::NormalExit &&
           mkfs.exitCode() == 0;
}

CardIdentity identityOf(const QString& path, qint64 offset = 0) {
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    return CardIdentity::read(fd.get(), offset, path, "image0p1");
}

void patch(const QString& path, qint64 at, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.seek(at));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

TEST(StagedChangesTest, IdentityTellsTheSameCardAnotherCardAndAChangedCard) {
    QTemporaryDir dir;
    const QString card = dir.filePath("card.img");
    const qint64 offset = 1024 * 1024;
    if (!makeExt4(card, 8, offset))
        GTEST_SKIP() << "mkfs.ext4 cannot run here";
    const CardIdentity recorded = identityOf(card, offset);
    EXPECT_EQ(recorded.size, offset + 8 * 1024 * 1024);
    EXPECT_EQ(recorded.uuid.size(), 36) << recorded.uuid.toStdString();
    EXPECT_EQ(recorded.superblock.size(), 64);
    EXPECT_EQ(recorded.compare(identityOf(card, offset)), CardIdentity::Match::same);

    // File data elsewhere does not make it another card.
    patch(card, offset + 6 * 1024 * 1024, "data");
    EXPECT_EQ(recorded.compare(identityOf(card, offset)), CardIdentity::Match::same);

    // A mount elsewhere rewrites the superblock (here its mount time): the card changed.
    const QString changed = dir.filePath("changed.img");
    ASSERT_TRUE(QFile::copy(card, changed));
    patch(changed, offset + 1024 + 0x2C, QByteArray("\x01\x02\x03\x04", 4));
    const CardIdentity afterMount = identityOf(changed, offset);
    EXPECT_EQ(recorded.compare(afterMount), CardIdentity::Match::changed);
    EXPECT_TRUE(recorded.refusal(CardIdentity::Match::changed).contains("changed since"));

    // Another filesystem, the same bytes on a card of another size, another partition offset.
    const QString other = dir.filePath("other.img");
    ASSERT_TRUE(makeExt4(other, 8, offset));
    EXPECT_EQ(recorded.compare(identityOf(other, offset)), CardIdentity::Match::otherCard);
    const QString grown = dir.filePath("grown.img");
    ASSERT_TRUE(QFile::copy(card, grown));
    ASSERT_TRUE(QFile::resize(grown, recorded.size + 512));
    EXPECT_EQ(recorded.compare(identityOf(grown, offset)), CardIdentity::Match::otherCard);
    CardIdentity moved = recorded;
    moved.offset = 2 * offset;
    EXPECT_EQ(recorded.compare(moved), CardIdentity::Match::otherCard);
    EXPECT_TRUE(recorded.refusal(CardIdentity::Match::otherCard).contains("another card"));

    // No filesystem there, or a card that ends first.
    EXPECT_THROW(identityOf(card, 0), StagedError);
    const QString tiny = dir.filePath("tiny.img");
    ASSERT_TRUE(QFile::copy(card, tiny));
    ASSERT_TRUE(QFile::resize(tiny, offset + 1500));
    EXPECT_THROW(identityOf(tiny, offset), StagedError);
}

// The VM's card node opens its descriptor with O_DIRECT, which QEMU sets on the open file
// description the app's own handle of the card shares: the identity is read through it all the
// same. A card of 4 KiB sectors (a loop device here) refuses direct reads of anything but whole
// sectors, and older kernels buffers not aligned to them; needs root and a free loop device.
TEST(StagedChangesTest, IdentityIsReadThroughACardDescriptorTheVMSetForDirectIO) {
    QTemporaryDir dir;
    const QString card = dir.filePath("card.img");
    const qint64 offset = 1024 * 1024;
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a loop device";
    if (!makeExt4(card, 8, offset))
        GTEST_SKIP() << "mkfs.ext4 cannot run here";
    const CardIdentity recorded = identityOf(card, offset);
    QProcess losetup;
    losetup.start("losetup", {"--find", "--show", "--read-only", "--sector-size", "4096", card});
    losetup.waitForFinished(30000);
    const QString loop = QString::fromUtf8(losetup.readAllStandardOutput()).trimmed();
    if (losetup.exitCode() != 0 || loop.isEmpty())
        GTEST_SKIP() << "no free loop device";
    struct Detach {
        QString node;
        ~Detach() { QProcess::execute("losetup", {"--detach", node}); }
    } detach{loop};
    const UniqueFd direct(::open(QFile::encodeName(loop).constData(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(direct.valid());
    ASSERT_EQ(::fcntl(direct.get(), F_SETFL, O_DIRECT), 0);
    for (int round = 0; round < 8; ++round) {  // whatever alignment the allocator gives
        const CardIdentity now = CardIdentity::read(direct.get(), offset, card, "image0p1");
        ASSERT_EQ(recorded.compare(now), CardIdentity::Match::same);
    }
}

StagedRecord sampleRecord(const QString& overlay) {
    StagedRecord record;
    record.overlay = overlay;
    record.card.uuid = "0b8e7c2a-5a51-4d0e-9a8a-1f2e3d4c5b6a";
    record.card.size = 64 * 1024 * 1024;
    record.card.source = "/cards/a b.img";
    record.card.partition = "image0p1";
    record.card.offset = 1024 * 1024;
    record.card.superblock = QString(64, 'a');
    using Kind = StagedOperation::Kind;
    record.operations = {{Kind::upload, "/a.bin", {}, 5000000},
                         {Kind::newFolder, "/new", {}, 0},
                         {Kind::rename, "/hello.txt", "greeting.txt", 0},
                         {Kind::move, "/x", "/new/x", 0},
                         {Kind::duplicate, "/a.bin", "/a 2.bin", 5000000},
                         {Kind::remove, "/old.txt", {}, 14}};
    return record;
}

TEST(StagedChangesTest, RecordsRoundTripAndMalformedOnesAreRefused) {
    const StagedRecord record = sampleRecord("/cache/overlay.qcow2");
    const auto back = StagedRecord::fromJson(record.toJson());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->overlay, record.overlay);
    EXPECT_EQ(back->operations, record.operations);
    EXPECT_EQ(back->card.compare(record.card), CardIdentity::Match::same);
    EXPECT_EQ(back->card.source, record.card.source);
    EXPECT_EQ(back->stagedBytes(), 10000000u);  // uploads and duplicates

    const auto broken = [&](auto change) {
        QJsonObject json = record.toJson();
        change(json);
        return !StagedRecord::fromJson(json);
    };
    const auto inCard = [](const char* key, QJsonValue value) {
        return [key, value](QJsonObject& json) {
            QJsonObject card = json["card"].toObject();
            card[key] = value;
            json["card"] = card;
        };
    };
    EXPECT_TRUE(broken([](QJsonObject& json) { json["version"] = 2; }));
    EXPECT_TRUE(broken([](QJsonObject& json) { json["overlay"] = "relative.qcow2"; }));
    EXPECT_TRUE(broken([](QJsonObject& json) { json.remove("overlay"); }));
    EXPECT_TRUE(broken(inCard("uuid", "")));
    EXPECT_TRUE(broken(inCard("size", 0)));
    EXPECT_TRUE(broken(inCard("offset", -1)));
    EXPECT_TRUE(broken(inCard("superblock_sha256", "abc")));
    EXPECT_TRUE(broken(inCard("partition", "")));
    EXPECT_TRUE(broken([](QJsonObject& json) {
        json["operations"] = QJsonArray{QJsonObject{{"op", "format"}, {"path", "/"}}};
    }));
    EXPECT_TRUE(broken([](QJsonObject& json) {
        json["operations"] = QJsonArray{QJsonObject{{"op", "delete"}}};
    }));
    EXPECT_FALSE(broken([](QJsonObject&) {}));
}

TEST(StagedChangesTest, OperationsReadAsOneLineEach) {
    const StagedRecord record = sampleRecord("/o.qcow2");
    QStringList lines;
    for (const StagedOperation& operation : record.operations)
        lines << operation.description();
    EXPECT_EQ(lines,
              (QStringList{"Upload /a.bin (5.0 MB)", "New folder /new",
                           "Rename /hello.txt to greeting.txt", "Move /x to /new/x",
                           "Duplicate /a.bin as /a 2.bin (5.0 MB)", "Delete /old.txt (14 bytes)"}));
}

// Changes as the file service tells them, recorded for the partition they land on: a copy
// between partitions names its ends "partition:/path", the end on this partition goes by path.
TEST(StagedChangesTest, ChangesBecomeTheOperationsTheyStandFor) {
    using Changed = fileops::Change::Kind;
    fileops::Change upload{Changed::written, "/a.bin", {}, QString("sdb1")};
    upload.bytes = 2000;
    const struct {
        fileops::Change change;
        std::uint64_t entryBytes;
        QString line;
    } cases[] = {
        {upload, 0, "Upload /a.bin (2.0 kB)"},
        {{Changed::deleted, "/old", {}, QString("sdb1")}, 14, "Delete /old (14 bytes)"},
        {{Changed::copied, "sdb1:/a", "sdb1:/b", QString("sdb1")},
         3,
         "Duplicate /a as /b (3 bytes)"},
        {{Changed::copied, "sdc1:/a", "sdb1:/b", QString("sdb1")},
         3,
         "Duplicate sdc1:/a as /b (3 bytes)"},
        {{Changed::copied, "/a", "/a 2", QString("sdb1")}, 0, "Duplicate /a as /a 2"},
        {{Changed::moved, "/x", "/new/x", QString("sdb1")}, 0, "Move /x to /new/x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stagedOperationFor(c.change, c.entryBytes).description(), c.line);
}

TEST(StagedChangesTest, StoreKeepsRecordsFindsThemByCardAndDiscardsThem) {
    QTemporaryDir dir;
    const QString overlay = dir.filePath("o.qcow2");
    {
        QFile made(overlay);
        ASSERT_TRUE(made.open(QIODevice::WriteOnly));
    }
    const StagedRecord record = sampleRecord(overlay);
    const QString path = dir.filePath("r.json");
    StagedStore::save(record, path);
    EXPECT_EQ(QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    EXPECT_EQ(StagedStore::load(path).operations, record.operations);

    // Another record for another card, and a file that is not a record.
    StagedRecord other = sampleRecord(dir.filePath("p.qcow2"));
    other.card.uuid = "11111111-2222-3333-4444-555555555555";
    StagedStore::save(other, dir.filePath("other.json"));
    QFile junk(dir.filePath("junk.json"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("{not json");
    junk.close();
    EXPECT_THROW(StagedStore::load(junk.fileName()), StagedError);
    EXPECT_THROW(StagedStore::load(dir.filePath("missing.json")), StagedError);

    CardIdentity changed = record.card;
    changed.superblock = QString(64, 'b');
    EXPECT_EQ(StagedStore::recordsFor(record.card, dir.path()), QStringList{path});
    EXPECT_EQ(StagedStore::recordsFor(changed, dir.path()), QStringList{path});
    CardIdentity resized = record.card;
    resized.size += 512;
    EXPECT_TRUE(StagedStore::recordsFor(resized, dir.path()).isEmpty());

    StagedStore::discard(path);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QFile::exists(overlay));
    EXPECT_TRUE(QFile::exists(dir.filePath("other.json")));
}

TEST(StagedChangesTest, OverlaysAreEmptyPrivateQcow2FilesOfTheCardsSizeWithNoBackingName) {
    QTemporaryDir dir;
    const qint64 size = 96 * 1024 * 1024 + 512;
    QString overlay;
    try {
        overlay = StagedStore::createOverlay(dir.path(), size);
    } catch (const StagedError& error) {
        GTEST_SKIP() << error.what();
    }
    EXPECT_TRUE(overlay.startsWith(dir.path() + "/"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(overlay).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    QProcess info;
    info.start("qemu-img", {"info", "--output=json", overlay});
    ASSERT_TRUE(info.waitForFinished(30000));
    const QJsonObject facts = QJsonDocument::fromJson(info.readAllStandardOutput()).object();
    EXPECT_EQ(facts["format"].toString(), "qcow2");
    EXPECT_EQ(facts["virtual-size"].toDouble(), double(size));
    EXPECT_FALSE(facts.contains("backing-filename")) << "the overlay names a file to open";
    // Each one is new.
    EXPECT_NE(StagedStore::createOverlay(dir.path(), size), overlay);
}

TEST(StagedChangesTest, RoomForAnOverlayIsCheckedBeforeAnUpload) {
    QTemporaryDir dir;
    EXPECT_NO_THROW(StagedStore::checkRoom(dir.path(), 1024));
    try {
        StagedStore::checkRoom(dir.path(), std::uint64_t(1) << 60);
        ADD_FAILURE() << "an exabyte fitted";
    } catch (const StagedError& error) {
        EXPECT_TRUE(QString(error.what()).contains("not enough space")) << error.what();
    }
    EXPECT_GT(StagedStore::roomNeeded(1000000), 1000000u);
    EXPECT_THROW(StagedStore::checkRoom(dir.filePath("missing"), 1), StagedError);
}

}  // namespace
}  // namespace quorvale::app
