#include "disk_image.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace quorvale::testing {
namespace {
constexpr qint64 partitionOffset = 1024 * 1024;
constexpr qint64 partitionBytes = 32 * 1024 * 1024;
}  // namespace

bool vmImageAvailable() {
    const QString share = qEnvironmentVariable("QUORVALE_BUILD_DIR") + "/share/quorvale/vm";
    return QFileInfo::exists(share + "/vmlinuz") && QFileInfo::exists(share + "/initramfs.img");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

std::pair<int, QByteArray> runTool(const QString& program, const QStringList& args,
                                   const QByteArray& input) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForStarted(10000))
        return {-1, {}};
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAll()};
}

bool makeDiskImage(const QString& tree, const QString& image, const QString& scratch) {
    const QString part = scratch + "/part.img";
    const auto [mkfs, mkfsOut] =
        runTool("mkfs.ext4", {"-q", "-F", "-L", "CARD", "-d", tree, part, "32M"});
    if (mkfs != 0) {
        ADD_FAILURE() << mkfsOut.toStdString();
        return false;
    }
    QFile out(image);
    QFile in(part);
    if (!out.open(QIODevice::WriteOnly) || !in.open(QIODevice::ReadOnly))
        return false;
    out.write(QByteArray(partitionOffset, '\0'));
    out.write(in.readAll());
    out.close();
    const auto [sfdisk, sfdiskOut] =
        runTool("sfdisk", {"-q", image}, "label: dos\nstart=2048, type=83\n");
    if (sfdisk != 0)
        ADD_FAILURE() << sfdiskOut.toStdString();
    return sfdisk == 0;
}

bool extractPartition(const QString& image, const QString& path) {
    QFile file(image);
    QFile out(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(partitionOffset) ||
        !out.open(QIODevice::WriteOnly))
        return false;
    return out.write(file.read(partitionBytes)) == partitionBytes;
}

bool isPartitionClean(const QString& image) {
    QTemporaryDir dir;
    const QString part = dir.filePath("check.img");
    if (!extractPartition(image, part))
        return false;
    const auto [status, output] = runTool("e2fsck", {"-fn", part});
    if (status != 0)
        ADD_FAILURE() << output.toStdString();
    return status == 0;
}

}  // namespace quorvale::testing
