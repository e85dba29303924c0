// Superblock magic checks on files standing in for device nodes, and on real mkfs images.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "disk/ext4_identification_service.h"
#include "disk_test_support.h"

namespace quorvale::disk {
namespace {

const QString kCategory = QStringLiteral("com.quorvale.app.EXT4");

class EXT4IdentificationTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString write(const QString& name, QByteArray bytes) {
        QFile file(dir.path() + "/" + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    }
    static QByteArray withMagic(char first, char second, qsizetype size = 4096) {
        QByteArray bytes(size, '\0');
        bytes[1080] = first;
        bytes[1081] = second;
        return bytes;
    }
    QTemporaryDir dir;
    EXT4IdentificationService service{dir.path()};
};

TEST_F(EXT4IdentificationTest, MagicIsLittleEndian) {
    test::LogCapture log;
    const QString path = write("sdb1", withMagic(char(0x53), char(0xEF)));
    write("sdb2", withMagic(char(0xEF), char(0x53)));
    EXPECT_TRUE(service.isEXT4("sdb1"));
    EXPECT_TRUE(log.tagged().contains(kCategory + "|info|EXT4 magic confirmed on " + path));
    const int before = log.tagged().size();
    EXPECT_FALSE(service.isEXT4("sdb2"));
    EXPECT_EQ(log.tagged().size(), before);  // a wrong magic is silent
}

TEST_F(EXT4IdentificationTest, ShortDeviceIsAFailedRead) {
    test::LogCapture log;
    const QString path = write("sdc1", QByteArray(1081, char(0x53)));
    EXPECT_FALSE(service.isEXT4("sdc1"));
    EXPECT_TRUE(log.tagged().contains(kCategory + "|error|Failed to read superblock from " + path));
    write("sdc2", QByteArray());
    EXPECT_FALSE(service.isEXT4("sdc2"));
}

TEST_F(EXT4IdentificationTest, UnopenableNodeNamesBothPathsOnce) {
    test::LogCapture log;
    EXPECT_FALSE(service.isEXT4("sdz1"));
    EXPECT_EQ(log.tagged(), QStringList{kCategory + "|error|Cannot open " + dir.path() +
                                        "/sdz1 or " + dir.path() + "/rsdz1 for reading"});
    // A name that is a path never leaves the device directory.
    write("escape", withMagic(char(0x53), char(0xEF)));
    EXPECT_FALSE(service.isEXT4("../" + QFileInfo(dir.path()).fileName() + "/escape"));
}

TEST_F(EXT4IdentificationTest, ReadErrorIsLogged) {
    test::LogCapture log;
    // A directory opens for reading but cannot be read.
    ASSERT_TRUE(QDir(dir.path()).mkdir("sdd1"));
    EXPECT_FALSE(service.isEXT4("sdd1"));
    EXPECT_TRUE(
        log.tagged()
            .filter("|error|Error reading superblock from " + dir.path() + "/sdd1: Is a directory")
            .size() == 1)
        << log.tagged().join("\n").toStdString();
}

TEST_F(EXT4IdentificationTest, Ext2Ext3Ext4ImagesAllAnswerTrue) {
    for (const char* type : {"ext2", "ext3", "ext4"}) {
        const QString path = dir.path() + "/" + type;
        ASSERT_TRUE(test::shellSucceeds("truncate -s 4M " + path.toStdString() + " && mkfs." +
                                        type + " -q -F " + path.toStdString()));
        EXPECT_TRUE(service.isEXT4(type)) << type;
    }
    ASSERT_TRUE(test::shellSucceeds("truncate -s 4M " + dir.path().toStdString() +
                                    "/vfat && mkfs.vfat " + dir.path().toStdString() + "/vfat"));
    EXPECT_FALSE(service.isEXT4("vfat"));
}

TEST_F(EXT4IdentificationTest, OffsetInsideAnImage) {
    const std::string path = dir.path().toStdString() + "/image";
    ASSERT_TRUE(test::shellSucceeds("truncate -s 8M " + path +
                                    " && mkfs.ext4 -q -F -E offset=1048576 " + path + " 6M"));
    EXPECT_TRUE(service.isEXT4(QString::fromStdString(path), 1048576));
    EXPECT_FALSE(service.isEXT4(QString::fromStdString(path), 0));
    EXPECT_FALSE(service.isEXT4(QString::fromStdString(path), 8 * 1048576));  // past the end
    EXPECT_FALSE(service.isEXT4(QString::fromStdString(path), UINT64_MAX));
    EXPECT_FALSE(service.isEXT4(dir.path() + "/missing", 0));
}

}  // namespace
}  // namespace quorvale::disk
