// The superblock health reader on real images made with mkfs and changed with debugfs, each
// field compared with what dumpe2fs reads from the same image; then hostile and short inputs.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

#include <fcntl.h>

#include "disk/partition_health.h"
#include "disk_test_support.h"
#include "rpc/unique_fd.h"

namespace quorvale::disk {
namespace {

constexpr const char* uuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

// dumpe2fs -h of an image as "Field name" -> value.
std::map<std::string, std::string> dumpe2fs(const QString& image) {
    test::ensureApplication();
    QProcess tool;
    tool.start("dumpe2fs", {"-h", image});
    EXPECT_TRUE(tool.waitForFinished(30000));
    std::map<std::string, std::string> fields;
    for (const QString& line : QString::fromUtf8(tool.readAllStandardOutput()).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            fields[line.left(colon).trimmed().toStdString()] =
                line.mid(colon + 1).trimmed().toStdString();
    }
    EXPECT_FALSE(fields.empty()) << "dumpe2fs said nothing";
    return fields;
}

PartitionHealth readImage(const QString& image, std::uint64_t offset = 0, std::uint64_t size = 0) {
    UniqueFd fd(::open(image.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd);
    return PartitionHealthReader::readAt(fd.get(), offset, size, image);
}

QString joined(rpc::ExtFeatureSet set, std::uint32_t bits) {
    QStringList names;
    for (const auto& name : rpc::extFeatureNames(set, bits))
        names.append(QString::fromStdString(name));
    return names.join(' ');
}

struct ImageCase {
    const char* name;
    const char* mkfs;     // after "mkfs -q -F ... IMAGE"
    const char* debugfs;  // debugfs -w requests, ';'-separated; empty: none
    std::function<void(const rpc::ExtSuperblock&)> check;
};

TEST(PartitionHealth, FieldsMatchDumpe2fsOnRealImages) {
    QTemporaryDir dir;
    const ImageCase cases[] = {
        {"fresh ext4", "-t ext4 -L HEALTHY", "",
         [](const rpc::ExtSuperblock& sb) {
             EXPECT_EQ(sb.filesystem, "ext4");
             EXPECT_TRUE(sb.hasChecksum);
             EXPECT_TRUE(sb.checksumValid);
             EXPECT_TRUE(sb.cleanlyUnmounted());
             EXPECT_FALSE(sb.needsRecovery() || sb.errorsRecorded() || sb.hasOrphans());
             EXPECT_FALSE(sb.readOnlyOnly() || sb.cannotMount());
         }},
        {"errors recorded", "-t ext4 -L ERRORS",
         "ssv error_count 3;ssv first_error_time @1714564800;ssv first_error_func "
         "ext4_lookup;ssv first_error_line 1850;ssv last_error_time @1714654800;"
         "ssv last_error_func ext4_readdir;ssv last_error_ino 12;ssv state 3",
         [](const rpc::ExtSuperblock& sb) {
             EXPECT_EQ(sb.errorCount, 3u);
             ASSERT_TRUE(sb.firstError && sb.lastError);
             EXPECT_EQ(sb.firstError->function, "ext4_lookup");
             EXPECT_EQ(sb.firstError->line, 1850u);
             EXPECT_EQ(sb.firstError->time, 1714564800u);
             EXPECT_EQ(sb.lastError->function, "ext4_readdir");
             EXPECT_EQ(sb.lastError->inode, 12u);
             EXPECT_TRUE(sb.errorsRecorded());
             EXPECT_TRUE(sb.checksumValid) << "debugfs rewrites the checksum";
         }},
        {"unknown read-only-compatible feature", "-t ext4", "feature FEATURE_R20",
         [](const rpc::ExtSuperblock& sb) {
             EXPECT_EQ(sb.unsupportedRoCompat(), 1u << 20);
             EXPECT_TRUE(sb.readOnlyOnly());
             EXPECT_FALSE(sb.cannotMount());
         }},
        {"unknown incompatible feature", "-t ext4", "feature FEATURE_I30",
         [](const rpc::ExtSuperblock& sb) {
             EXPECT_EQ(sb.unsupportedIncompat(), 1u << 30);
             EXPECT_TRUE(sb.cannotMount());
         }},
        {"journal needs recovery, orphans, mount limit", "-t ext4",
         "feature needs_recovery;ssv last_orphan 13;ssv mnt_count 25;ssv max_mnt_count 20;"
         "ssv mtime @1717200000;ssv last_mounted /media/card",
         [](const rpc::ExtSuperblock& sb) {
             EXPECT_TRUE(sb.needsRecovery());
             EXPECT_TRUE(sb.hasOrphans());
             EXPECT_EQ(sb.mountCount, 25);
             EXPECT_EQ(sb.maxMountCount, 20);
             EXPECT_EQ(sb.lastMount, 1717200000u);
             EXPECT_EQ(sb.lastMountedOn, "/media/card");
         }},
        {"ext2 without a journal", "-t ext2 -b 1024 -L OLD", "",
         [](const rpc::ExtSuperblock& sb) {
             EXPECT_EQ(sb.filesystem, "ext2");
             EXPECT_EQ(sb.blockSize, 1024u);
             EXPECT_FALSE(sb.hasChecksum);
         }},
        {"ext3", "-t ext3", "",
         [](const rpc::ExtSuperblock& sb) { EXPECT_EQ(sb.filesystem, "ext3"); }},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString image = dir.filePath(QString::fromLatin1(c.name).replace(' ', '_'));
        const std::string p = image.toStdString();
        ASSERT_TRUE(test::shellSucceeds("truncate -s 32M '" + p + "' && mkfs -q -F " + c.mkfs +
                                        " -U " + uuid + " -E lazy_itable_init=1 '" + p + "'"));
        if (*c.debugfs) {
            QString requests = QString::fromLatin1(c.debugfs).replace(';', '\n');
            test::ensureApplication();
            QProcess debugfs;
            debugfs.start("debugfs", {"-w", "-f", "-", image});
            debugfs.write(requests.toUtf8() + '\n');
            debugfs.closeWriteChannel();
            ASSERT_TRUE(debugfs.waitForFinished(30000));
            ASSERT_EQ(debugfs.exitCode(), 0);
        }
        const PartitionHealth health = readImage(image, 0, 32 << 20);
        ASSERT_TRUE(health.superblock) << health.problem.toStdString();
        EXPECT_TRUE(health.problem.isEmpty());
        EXPECT_FALSE(health.largerThanPartition);
        const rpc::ExtSuperblock& sb = *health.superblock;
        c.check(sb);
        if (sb.unsupportedIncompat())
            continue;  // dumpe2fs refuses such a filesystem
        auto fields = dumpe2fs(image);
        const std::string label = fields["Filesystem volume name"];
        EXPECT_EQ(sb.label, label == "<none>" ? std::string() : label);
        EXPECT_EQ(sb.uuidText(), fields["Filesystem UUID"]);
        EXPECT_EQ(std::to_string(sb.blockCount), fields["Block count"]);
        EXPECT_EQ(std::to_string(sb.blockSize), fields["Block size"]);
        EXPECT_EQ(std::to_string(sb.freeBlocks), fields["Free blocks"]);
        EXPECT_EQ(std::to_string(sb.inodeCount), fields["Inode count"]);
        EXPECT_EQ(std::to_string(sb.mountCount), fields["Mount count"]);
        EXPECT_EQ(std::to_string(sb.maxMountCount), fields["Maximum mount count"]);
        const QString features = joined(rpc::ExtFeatureSet::compat, sb.compat) + ' ' +
                                 joined(rpc::ExtFeatureSet::incompat, sb.incompat) + ' ' +
                                 joined(rpc::ExtFeatureSet::roCompat, sb.roCompat);
        EXPECT_EQ(features.simplified().toStdString(), fields["Filesystem features"]);
        if (sb.errorCount) {
            EXPECT_EQ(std::to_string(sb.errorCount), fields["FS Error count"]);
        }
        EXPECT_GT(sb.created, 1600000000u);
    }
}

TEST(PartitionHealth, ShortHostileAndMisplacedInputsNeverReadPastTheirBounds) {
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    ASSERT_TRUE(test::shellSucceeds("truncate -s 16M " + image.toStdString() +
                                    " && mkfs.ext4 -q -F " + image.toStdString()));
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray original = file.read(4096);

    struct Case {
        const char* name;
        std::function<void(QByteArray&)> change;
        std::uint64_t partitionSize;
        std::function<void(const PartitionHealth&)> check;
    };
    const Case cases[] = {
        {"a label with control bytes and broken UTF-8",
         [](QByteArray& b) {
             b.replace(1024 + 0x78, 16,
                       QByteArray("A\x01\x1b[2J\xff\xc3\xa9Z\0", 12).leftJustified(16, '\0'));
         },
         0,
         [](const PartitionHealth& h) {
             ASSERT_TRUE(h.superblock);
             EXPECT_EQ(h.superblock->label, "A[2J\xEF\xBF\xBD\xC3\xA9Z");
             EXPECT_FALSE(h.superblock->checksumValid) << "the bytes changed, the crc did not";
         }},
        {"an error function that fills its field without a terminator",
         [](QByteArray& b) {
             b.replace(1024 + 0x198, 4, QByteArray("\x01\0\0\0", 4));
             b.replace(1024 + 0x1A8, 32, QByteArray(32, 'f'));
             b.replace(1024 + 0x1C8, 4, QByteArray("\x07\0\0\0", 4));
         },
         0,
         [](const PartitionHealth& h) {
             ASSERT_TRUE(h.superblock && h.superblock->firstError);
             EXPECT_EQ(h.superblock->firstError->function, std::string(32, 'f'));
             EXPECT_EQ(h.superblock->firstError->line, 7u) << "the next field stays its own";
         }},
        {"a block size shift no ext allows",
         [](QByteArray& b) { b.replace(1024 + 0x18, 4, QByteArray("\x28\0\0\0", 4)); }, 0,
         [](const PartitionHealth& h) {
             ASSERT_TRUE(h.superblock);
             EXPECT_EQ(h.superblock->blockSize, 0u);
             EXPECT_TRUE(h.superblock->cannotMount());
         }},
        {"a filesystem claiming more than its partition", [](QByteArray&) {}, 8 << 20,
         [](const PartitionHealth& h) {
             ASSERT_TRUE(h.superblock);
             EXPECT_TRUE(h.largerThanPartition);
         }},
        {"a partition too small for a superblock", [](QByteArray&) {}, 2000,
         [](const PartitionHealth& h) {
             EXPECT_FALSE(h.superblock);
             EXPECT_FALSE(h.problem.isEmpty());
         }},
        {"no magic", [](QByteArray& b) { b[1024 + 0x38] = 0; }, 0,
         [](const PartitionHealth& h) {
             EXPECT_FALSE(h.superblock);
             EXPECT_EQ(h.problem, "no ext2/3/4 superblock");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray bytes = original;
        c.change(bytes);
        file.seek(0);
        file.write(bytes);
        file.flush();
        c.check(readImage(image, 0, c.partitionSize));
    }
    file.seek(0);
    file.write(original);
    file.close();

    // Cut short: the image ends inside the superblock.
    const QString shortImage = dir.filePath("short.img");
    QFile cut(shortImage);
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(original.left(1500));
    cut.close();
    EXPECT_EQ(readImage(shortImage).problem, "the superblock is cut short");
    // At an offset: the superblock of a partition inside a disk.
    const QString disk = dir.filePath("disk.img");
    ASSERT_TRUE(test::shellSucceeds("truncate -s 20M " + disk.toStdString() +
                                    " && dd if=" + image.toStdString() +
                                    " of=" + disk.toStdString() + " bs=1M seek=2 conv=notrunc"));
    EXPECT_TRUE(readImage(disk, 2 << 20, 16 << 20).superblock);
    EXPECT_FALSE(readImage(disk, 0, 0).superblock);
    EXPECT_FALSE(readImage(disk, UINT64_MAX - 100, 0).superblock);
}

TEST(PartitionHealth, WriteProtectionComesFromThePartitionOrItsWholeDisk) {
    QTemporaryDir dir;
    const QString devices = dir.filePath("dev"), sysfs = dir.filePath("sys");
    for (const char* name : {"loop7", "loop7p1", "sdc", "sdc1", "sdd"})
        QDir().mkpath(sysfs + "/class/block/" + name);
    QDir().mkpath(devices);
    const auto flag = [&](const char* name, const char* value) {
        QFile f(sysfs + "/class/block/" + name + "/ro");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(value);
    };
    flag("loop7", "1\n");
    flag("loop7p1", "0\n");
    flag("sdc", "0\n");
    flag("sdc1", "1\n");
    flag("sdd", "0\n");
    ASSERT_TRUE(test::shellSucceeds("truncate -s 8M " + devices.toStdString() +
                                    "/loop7p1 && mkfs.ext4 -q -F " + devices.toStdString() +
                                    "/loop7p1"));
    PartitionHealthReader reader(DiskPaths{devices, sysfs});
    EXPECT_TRUE(reader.isWriteProtected("loop7p1")) << "the whole disk's flag counts";
    EXPECT_TRUE(reader.isWriteProtected("sdc1"));
    EXPECT_FALSE(reader.isWriteProtected("sdc"));
    EXPECT_FALSE(reader.isWriteProtected("sdd"));
    EXPECT_FALSE(reader.isWriteProtected("../../etc")) << "no path escapes sysfs";
    const PartitionHealth health = reader.read("loop7p1");
    EXPECT_TRUE(health.superblock);
    EXPECT_TRUE(health.writeProtected);
    const PartitionHealth missing = reader.read("sdd1");
    EXPECT_FALSE(missing.superblock);
    EXPECT_TRUE(missing.problem.startsWith("cannot open")) << missing.problem.toStdString();
    EXPECT_FALSE(reader.read("../x").superblock);
}

}  // namespace
}  // namespace quorvale::disk
