// Disk images made with sfdisk and mkfs at test time, well-formed and hostile.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <qcoro/qcorotask.h>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <map>

#include "disk/disk_detection_service.h"
#include "disk/disk_error.h"
#include "disk/disk_image_registry.h"
#include "disk/volume_probe.h"
#include "disk_test_support.h"

namespace quorvale::disk {
namespace {

using model::FilesystemType;

// How many of this process's descriptors refer to the file at path.
int openDescriptors(const QString& path) {
    int count = 0;
    for (const QFileInfo& entry : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System))
        count += entry.symLinkTarget() == path ? 1 : 0;
    return count;
}

class DiskImageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    std::string path(const char* name) const { return dir.path().toStdString() + "/" + name; }
    QString qpath(const char* name) const { return dir.path() + "/" + name; }

    // 80 MiB, MBR: FAT32 "BOOT" at 1 MiB (40 MiB), ext4 "rootfs" after it.
    QString partitionedImage(const char* name = "card.img") {
        const std::string p = path(name);
        EXPECT_TRUE(test::shellSucceeds(
            "truncate -s 80M " + p +
            " && printf 'label: dos\\nstart=2048,size=81920,type=c\\n"
            "start=83968,type=83\\n' | sfdisk -q " +
            p + " && mkfs.vfat -F 32 -s 1 -n BOOT --offset 2048 " + p + " 40960" +
            " && mkfs.ext4 -q -F -L rootfs -E offset=" + std::to_string(83968ull * 512) + " " + p +
            " " + std::to_string((163840 - 83968) / 2) + "k"));
        return QString::fromStdString(p);
    }
    void writeAt(const char* name, qint64 offset, const QByteArray& bytes) {
        QFile f(qpath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.seek(offset));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    // A primary MBR entry.
    static QByteArray mbrEntry(quint8 type, quint32 start, quint32 sectors) {
        QByteArray e(16, '\0');
        e[4] = char(type);
        for (int i = 0; i < 4; ++i) {
            e[8 + i] = char((start >> (8 * i)) & 0xff);
            e[12 + i] = char((sectors >> (8 * i)) & 0xff);
        }
        return e;
    }
    void writeMbr(const char* name, qint64 sectorOffset, const QList<QByteArray>& entries) {
        QByteArray table;
        for (const QByteArray& e : entries)
            table += e;
        table += QByteArray(64 - table.size(), '\0');
        writeAt(name, sectorOffset * 512 + 446, table + QByteArray("\x55\xaa", 2));
    }

    QTemporaryDir dir;
    DiskImageRegistry registry;
};

TEST_F(DiskImageTest, PartitionedFat32AndExt4) {
    const model::Device d = registry.open(partitionedImage());
    EXPECT_EQ(d.id, "image0");
    EXPECT_EQ(d.bsdName, "image0");
    EXPECT_EQ(d.name, "card.img");
    EXPECT_EQ(d.size, 80u * 1048576);
    EXPECT_EQ(d.mediaType, model::MediaType::unknown);
    ASSERT_EQ(d.partitions.size(), 2);
    const model::Partition& boot = d.partitions[0];
    EXPECT_EQ(boot.bsdName, "image0p1");
    EXPECT_EQ(boot.id, "image0p1");
    EXPECT_EQ(boot.filesystemType, FilesystemType::fat32);
    EXPECT_EQ(boot.label, QString("BOOT"));
    EXPECT_EQ(boot.offset, 1048576u);
    EXPECT_EQ(boot.size, 40u * 1048576);
    const model::Partition& root = d.partitions[1];
    EXPECT_EQ(root.bsdName, "image0p2");
    EXPECT_EQ(root.filesystemType, FilesystemType::ext4);
    EXPECT_EQ(root.label, QString("rootfs"));
    EXPECT_EQ(root.offset, 83968u * 512);
    EXPECT_EQ(root.size, (163840u - 83968u) * 512);
    EXPECT_TRUE(d.hasEXT4Partition());
    EXPECT_FALSE(registry.isReadOnly("image0"));
    EXPECT_EQ(registry.path("image0"), qpath("card.img"));
}

TEST_F(DiskImageTest, GptPartitionsAndTypeFallback) {
    const std::string p = path("gpt.img");
    // Partition 2 has the Linux type but no filesystem yet; partition 1 holds ext3.
    ASSERT_TRUE(
        test::shellSucceeds("truncate -s 64M " + p +
                            " && printf 'label: gpt\\nstart=2048,size=40960,type=L,name=data\\n"
                            "start=43008,size=20480,type=L\\n' | sfdisk -q " +
                            p + " && mkfs.ext3 -q -F -E offset=1048576 " + p + " 20M"));
    const model::Device d = registry.open(QString::fromStdString(p));
    ASSERT_EQ(d.partitions.size(), 2);
    EXPECT_EQ(d.partitions[0].bsdName, "image0p1");
    EXPECT_EQ(d.partitions[0].filesystemType, FilesystemType::ext4);
    EXPECT_FALSE(d.partitions[0].label.has_value());
    EXPECT_EQ(d.partitions[1].offset, 43008u * 512);
    // The GPT Linux filesystem type stands for ext4 when nothing else answers.
    EXPECT_EQ(d.partitions[1].filesystemType, FilesystemType::ext4);
}

TEST_F(DiskImageTest, UnpartitionedImageIsOnePartition) {
    const std::string p = path("plain.img");
    ASSERT_TRUE(test::shellSucceeds("truncate -s 16M " + p + " && mkfs.ext4 -q -F -L plain " + p));
    registry.open(partitionedImage());  // image0
    const model::Device d = registry.open(QString::fromStdString(p));
    EXPECT_EQ(d.bsdName, "image1");
    ASSERT_EQ(d.partitions.size(), 1);
    EXPECT_EQ(d.partitions[0].bsdName, "image1");
    EXPECT_EQ(d.partitions[0].offset, 0u);
    EXPECT_EQ(d.partitions[0].size, 16u * 1048576);
    EXPECT_EQ(d.partitions[0].label, QString("plain"));
    EXPECT_EQ(d.partitions[0].filesystemType, FilesystemType::ext4);
    // The same file opened twice is the same device.
    EXPECT_EQ(registry.open(QString::fromStdString(p)).bsdName, "image1");
}

TEST_F(DiskImageTest, ReadOnlyFileOpensReadOnly) {
    const QString image = partitionedImage();
    const QString ro = qpath("ro");
    ASSERT_TRUE(QDir().mkpath(ro));
    if (::mount(dir.path().toLocal8Bit(), ro.toLocal8Bit(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount here";
    const bool remounted =
        ::mount(nullptr, ro.toLocal8Bit(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    if (!remounted) {
        ::umount2(ro.toLocal8Bit(), MNT_DETACH);
        GTEST_SKIP() << "cannot remount read-only here";
    }
    try {
        const model::Device d = registry.open(ro + "/card.img");
        EXPECT_TRUE(registry.isReadOnly(d.bsdName));
        EXPECT_EQ(d.partitions.size(), 2);
        const int flags = ::fcntl(registry.fd(d.bsdName), F_GETFL);
        EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    test::run(registry.ejectDisk("image0"));  // closes the fd before unmounting
    EXPECT_EQ(::umount2(ro.toLocal8Bit(), MNT_DETACH), 0);
}

TEST_F(DiskImageTest, DescriptorIsKeptUntilDetached) {
    QStringList detached;
    DiskImageRegistry images([&](const QString& name) { detached << name; });
    const model::Device d = images.open(partitionedImage());
    const int fd = images.fd(d.bsdName);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    UniqueFd copy = images.duplicateFd(d.bsdName);
    ASSERT_TRUE(copy.valid());
    EXPECT_NE(copy.get(), fd);
    EXPECT_EQ(openDescriptors(qpath("card.img")), 2);

    test::run(images.ejectDisk(d.bsdName));
    EXPECT_EQ(detached, QStringList{"image0"});
    EXPECT_FALSE(images.contains("image0"));
    EXPECT_EQ(images.fd("image0"), -1);
    EXPECT_EQ(openDescriptors(qpath("card.img")), 1) << "only the duplicate stays open";
    EXPECT_GE(::fcntl(copy.get(), F_GETFD), 0);
    EXPECT_THROW(test::run(images.ejectDisk("image0")), DiskError);
}

TEST_F(DiskImageTest, OneFileIsOneDeviceWhicheverPathOpensIt) {
    DiskImageRegistry images;
    const model::Device first = images.open(partitionedImage());
    ASSERT_EQ(::link(path("card.img").c_str(), path("same.img").c_str()), 0);
    ASSERT_TRUE(QFile::link(qpath("card.img"), qpath("alias.img")));
    const model::Device other = images.open(partitionedImage("other.img"));
    for (const char* again : {"card.img", "./card.img", "same.img", "alias.img"}) {
        const QString where = again[0] == '.' ? dir.path() + "/./card.img" : qpath(again);
        const model::Device device = images.open(where);
        EXPECT_EQ(device.bsdName, first.bsdName) << again;
        EXPECT_EQ(device.partitions.size(), first.partitions.size()) << again;
    }
    EXPECT_EQ(other.bsdName, "image1");
    EXPECT_EQ(openDescriptors(qpath("card.img")), 1) << "a second descriptor was kept";
    EXPECT_FALSE(images.contains("image2"));

    // Once detached, the file is a device again under a new name.
    test::run(images.ejectDisk(first.bsdName));
    EXPECT_EQ(images.open(qpath("card.img")).bsdName, "image2");
}

TEST_F(DiskImageTest, ImagesOpenWhenTheDeviceMonitorCannotStart) {
    test::ensureApplication();
    class BrokenSource : public DiskEventSource {
    public:
        void start(Handlers) override {
            ++starts;
            throw Error("Failed to create the device event monitor: Permission denied");
        }
        int starts = 0;
    };
    auto owned = std::make_unique<BrokenSource>();
    BrokenSource* source = owned.get();
    DiskDetectionService service(std::move(owned));
    test::RecordingDelegate delegate;
    service.setDelegate(&delegate);
    EXPECT_THROW(service.startMonitoring(), Error);
    EXPECT_THROW(service.startMonitoring(), Error) << "a failed start counted as running";
    EXPECT_EQ(source->starts, 2);
    const model::Device d = test::run(service.openImage(partitionedImage()));
    ASSERT_TRUE(test::spinUntil([&] { return delegate.events.size() == 1; }));
    EXPECT_EQ(delegate.events[0].device, d);
}

TEST_F(DiskImageTest, ServiceReportsOpenAndEjectThroughTheDelegate) {
    test::ensureApplication();
    class NoSource : public DiskEventSource {
        void start(Handlers) override {}
    };
    DiskDetectionService service(std::make_unique<NoSource>());
    test::RecordingDelegate delegate;
    service.setDelegate(&delegate);
    const model::Device d = test::run(service.openImage(partitionedImage()));
    ASSERT_TRUE(test::spinUntil([&] { return delegate.events.size() == 1; }));
    EXPECT_EQ(delegate.events[0].device, d);
    EXPECT_TRUE(service.images().contains(d.bsdName));

    test::run(service.ejectDisk(d));
    ASSERT_TRUE(test::spinUntil([&] { return delegate.events.size() == 2; }));
    EXPECT_EQ(delegate.events[1].kind, test::Event::Kind::removed);
    EXPECT_EQ(delegate.events[1].bsdName, d.bsdName);
    EXPECT_FALSE(service.images().contains(d.bsdName));

    const auto e = testing::failureOf<DiskError>(service.openImage(qpath("missing.img")));
    EXPECT_EQ(e.kind(), DiskError::Kind::imageFailed);
    EXPECT_EQ(std::string(e.what()),
              "Cannot open disk image: " + path("missing.img") + ": No such file or directory");
}

TEST_F(DiskImageTest, FilesThatAreNoImagesGiveClearErrors) {
    ASSERT_TRUE(test::shellSucceeds("touch " + path("empty.img") + " && mkfifo " + path("fifo")));
    try {
        registry.open(qpath("empty.img"));
        FAIL();
    } catch (const DiskError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open disk image: " + path("empty.img") + ": the file is empty");
    }
    EXPECT_THROW(registry.open(qpath("fifo")), DiskError);  // must not wait for a writer
    EXPECT_THROW(registry.open(dir.path()), DiskError);
    EXPECT_FALSE(registry.contains("image0"));
}

TEST_F(DiskImageTest, GarbageIsOneUnknownPartition) {
    QByteArray bytes(1 << 20, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((qint64(i) * 7919 + 13) % 251);
    writeAt("garbage.img", 0, bytes);
    const model::Device d = registry.open(qpath("garbage.img"));
    ASSERT_EQ(d.partitions.size(), 1);
    EXPECT_EQ(d.partitions[0].filesystemType, FilesystemType::unknown);
    EXPECT_EQ(d.partitions[0].size, 1u << 20);
}

TEST_F(DiskImageTest, PartitionTablePastTheEndAndOverlaps) {
    writeAt("hostile.img", 0, QByteArray(4 << 20, '\0'));  // 8192 sectors
    writeMbr("hostile.img", 0,
             {mbrEntry(0x83, 2048, 2048), mbrEntry(0x0c, 3000, 2048),  // overlapping
              mbrEntry(0x83, 6144, 0xFFFFFF00),                        // runs past the end
              mbrEntry(0x83, 0xFFFFFF00, 100)});                       // starts past the end
    const model::Device d = registry.open(qpath("hostile.img"));
    ASSERT_EQ(d.partitions.size(), 3) << "the partition past the end is dropped";
    EXPECT_EQ(d.partitions[0].size, 2048u * 512);
    EXPECT_EQ(d.partitions[0].filesystemType, FilesystemType::ext4);  // type 0x83: "Linux"
    EXPECT_EQ(d.partitions[1].filesystemType, FilesystemType::fat32);
    EXPECT_EQ(d.partitions[2].bsdName, "image0p3");
    EXPECT_EQ(d.partitions[2].offset, 6144u * 512);
    EXPECT_EQ(d.partitions[2].size, 2048u * 512) << "cut at the end of the file";
}

TEST_F(DiskImageTest, ExtendedPartitionLoopEnds) {
    writeAt("loop.img", 0, QByteArray(4 << 20, '\0'));
    writeMbr("loop.img", 0, {mbrEntry(0x05, 2048, 4096)});
    // The extended partition's boot record links back to itself.
    writeMbr("loop.img", 2048, {mbrEntry(0x83, 1, 100), mbrEntry(0x05, 0, 4096)});
    const model::Device d = registry.open(qpath("loop.img"));
    EXPECT_LE(d.partitions.size(), qsizetype(kMaxPartitions));
    for (const model::Partition& p : d.partitions)
        EXPECT_NE(p.bsdName, "image0p1") << "the extended container is not a partition";
}

TEST_F(DiskImageTest, ThousandsOfPartitionsAreCapped) {
    const std::string p = path("many.img");
    std::string script = "label: gpt\\ntable-length: 1200\\n";
    for (int i = 0; i < 1100; ++i)
        script += "size=2048,type=L\\n";
    ASSERT_TRUE(test::shellSucceeds("truncate -s 1200M " + p + " && printf '" + script +
                                    "' | sfdisk -q " + p));
    const model::Device d = registry.open(QString::fromStdString(p));
    EXPECT_EQ(d.partitions.size(), qsizetype(kMaxPartitions));
    EXPECT_EQ(d.partitions.back().bsdName, QString("image0p%1").arg(kMaxPartitions));
}

TEST_F(DiskImageTest, TruncatedImageKeepsWhatCanBeRead) {
    const QString image = partitionedImage();
    ASSERT_TRUE(QFile::resize(image, 41 * 1048576));  // p1 whole, p2 gone
    const model::Device d = registry.open(image);
    ASSERT_EQ(d.partitions.size(), 1);
    EXPECT_EQ(d.partitions[0].filesystemType, FilesystemType::fat32);

    const std::string gpt = path("gpt-cut.img");
    ASSERT_TRUE(test::shellSucceeds("truncate -s 16M " + gpt +
                                    " && printf 'label: gpt\\n,4M,L\\n,,L\\n' | sfdisk -q " + gpt +
                                    " && truncate -s 12K " + gpt));
    const model::Device cut = registry.open(QString::fromStdString(gpt));
    EXPECT_EQ(cut.size, 12u * 1024);
    for (const model::Partition& p : cut.partitions)
        EXPECT_LE(p.offset + p.size, cut.size);
}

TEST_F(DiskImageTest, HostileLabelsAreCleaned) {
    const std::string quotes = path("quotes.img");
    ASSERT_TRUE(test::shellSucceeds("truncate -s 8M " + quotes +
                                    " && mkfs.ext4 -q -F -L '\"a/b\\x27c\"' " + quotes));
    EXPECT_EQ(registry.open(QString::fromStdString(quotes)).partitions[0].label,
              QString("\"a/b\\x27c\""));

    const std::string control = path("control.img");
    ASSERT_TRUE(test::shellSucceeds("truncate -s 8M " + control +
                                    " && mkfs.ext4 -q -F -L \"$(printf "
                                    "'A\\001\\033[2J\\377\\376B')\" " +
                                    control));
    const auto label = registry.open(QString::fromStdString(control)).partitions[0].label;
    ASSERT_TRUE(label.has_value());
    EXPECT_EQ(*label, QString("A[2J") + QChar(0xFFFD) + QChar(0xFFFD) + "B");
}

TEST_F(DiskImageTest, FilesChangedUnderOpenImages) {
    using Kind = ImageFileChange::Kind;
    std::vector<QString> detached;
    DiskImageRegistry images([&](const QString& name) { detached.push_back(name); });
    // One image per fate; each 1 MiB of zeroes (one partition covering the file).
    const char* names[] = {"kept.img",  "grown.img",    "deleted.img",
                           "moved.img", "replaced.img", "shortened.img"};
    std::map<std::string, QString> device;
    for (const char* name : names) {
        ASSERT_TRUE(test::shellSucceeds("truncate -s 1M " + path(name)));
        device[name] = images.open(qpath(name)).bsdName;
    }
    EXPECT_TRUE(images.checkFiles().empty()) << "nothing changed yet";

    ASSERT_TRUE(test::shellSucceeds("truncate -s 2M " + path("grown.img")));
    ASSERT_TRUE(QFile::remove(qpath("deleted.img")));
    QDir().mkpath(qpath("elsewhere"));
    ASSERT_TRUE(QFile::rename(qpath("moved.img"), qpath("elsewhere/moved.img")));
    // Saved over by another program: a new file under the same name.
    ASSERT_TRUE(QFile::remove(qpath("replaced.img")));
    ASSERT_TRUE(test::shellSucceeds("truncate -s 1M " + path("replaced.img")));
    ASSERT_TRUE(test::shellSucceeds("truncate -s 512K " + path("shortened.img")));

    const std::vector<ImageFileChange> changes = images.checkFiles();
    const std::vector<ImageFileChange> expected = {
        {Kind::gone, device["deleted.img"], qpath("deleted.img")},
        {Kind::gone, device["moved.img"], qpath("moved.img")},
        {Kind::gone, device["replaced.img"], qpath("replaced.img")},
        {Kind::shortened, device["shortened.img"], qpath("shortened.img")},
    };
    ASSERT_EQ(changes.size(), expected.size());
    for (const ImageFileChange& change : expected)
        EXPECT_NE(std::find(changes.begin(), changes.end(), change), changes.end())
            << change.path.toStdString();
    // Gone images are detached: descriptor closed, callback called; the others stay.
    EXPECT_EQ(detached.size(), 3u);
    for (const char* name : {"deleted.img", "moved.img", "replaced.img"})
        EXPECT_FALSE(images.contains(device[name])) << name;
    EXPECT_EQ(openDescriptors(qpath("elsewhere/moved.img")), 0);
    for (const char* name : {"kept.img", "grown.img", "shortened.img"})
        EXPECT_TRUE(images.contains(device[name])) << name;
    EXPECT_EQ(images.count(), 3u);
    // A shortened image is damaged: read-only from now on, reported once.
    EXPECT_TRUE(images.isReadOnly(device["shortened.img"]));
    EXPECT_FALSE(images.isReadOnly(device["kept.img"]));
    EXPECT_TRUE(images.checkFiles().empty());
}

TEST_F(DiskImageTest, ServiceNoticesADeletedImageWithoutBeingAsked) {
    test::ensureApplication();
    class NoSource : public DiskEventSource {
        void start(Handlers) override {}
    };
    DiskDetectionService service(std::make_unique<NoSource>());
    test::RecordingDelegate delegate;
    service.setDelegate(&delegate);
    QStringList gone, shortened;
    QObject::connect(&service, &DiskDetectionService::imageFileGone,
                     [&](const QString& name, const QString&) { gone << name; });
    QObject::connect(&service, &DiskDetectionService::imageFileShortened,
                     [&](const QString& name, const QString&) { shortened << name; });
    ASSERT_TRUE(test::shellSucceeds("truncate -s 1M " + path("a.img") + " && truncate -s 1M " +
                                    path("b.img")));
    const model::Device a = test::run(service.openImage(qpath("a.img")));
    const model::Device b = test::run(service.openImage(qpath("b.img")));
    ASSERT_TRUE(test::spinUntil([&] { return delegate.events.size() == 2; }));

    ASSERT_TRUE(test::shellSucceeds("truncate -s 4K " + path("b.img")));
    ASSERT_TRUE(test::spinUntil([&] { return shortened == QStringList{b.bsdName}; }));
    ASSERT_TRUE(QFile::remove(qpath("a.img")));
    ASSERT_TRUE(test::spinUntil([&] { return delegate.events.size() == 3; }));
    EXPECT_EQ(delegate.events[2].kind, test::Event::Kind::removed);
    EXPECT_EQ(delegate.events[2].bsdName, a.bsdName);
    EXPECT_EQ(gone, QStringList{a.bsdName});
    EXPECT_FALSE(service.images().contains(a.bsdName));
    EXPECT_TRUE(service.images().contains(b.bsdName));
}

}  // namespace
}  // namespace quorvale::disk
