#include "disk_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
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
    QDir().mkpath(QFileInfo(path).absolutePath());
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
    return makeDiskImage(QStringList{tree}, image, scratch);
}

bool makeDiskImage(const QStringList& trees, const QString& image, const QString& scratch,
                   const QStringList& labels) {
    QFile out(image);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(QByteArray(partitionOffset, '\0'));
    QByteArray table = "label: dos\n";
    for (qsizetype i = 0; i < trees.size(); ++i) {
        const QString part = scratch + "/part.img";
        QFile::remove(part);
        // Inode tables and journal written now: a mounted card then stays as it is until written.
        const auto [mkfs, mkfsOut] = runTool(
            "mkfs.ext4", {"-q", "-F", "-L", labels.value(i, "CARD"), "-E",
                          "lazy_itable_init=0,lazy_journal_init=0", "-d", trees[i], part, "32M"});
        if (mkfs != 0) {
            ADD_FAILURE() << mkfsOut.toStdString();
            return false;
        }
        QFile in(part);
        if (!in.open(QIODevice::ReadOnly) || in.size() != partitionBytes)
            return false;
        out.write(in.readAll());
        table += QByteArray("start=") +
                 QByteArray::number((partitionOffset + i * partitionBytes) / 512) +
                 ", size=" + QByteArray::number(partitionBytes / 512) + ", type=83\n";
    }
    out.close();
    const auto [sfdisk, sfdiskOut] = runTool("sfdisk", {"-q", image}, table);
    if (sfdisk != 0)
        ADD_FAILURE() << sfdiskOut.toStdString();
    return sfdisk == 0;
}

bool makeLargeDiskImage(const QString& tree, const QString& image, int megabytes) {
    const qint64 bytes = qint64(megabytes) << 20;
    QFile out(image);
    if (!out.open(QIODevice::WriteOnly) || !out.resize(partitionOffset + bytes))
        return false;
    out.close();
    const auto [mkfs, mkfsOut] = runTool(
        "mkfs.ext4",
        {"-q", "-F", "-L", "CARD", "-E",
         QStringLiteral("offset=%1,lazy_itable_init=0,lazy_journal_init=0").arg(partitionOffset),
         "-d", tree, image, QStringLiteral("%1M").arg(megabytes)});
    if (mkfs != 0) {
        ADD_FAILURE() << mkfsOut.toStdString();
        return false;
    }
    const QByteArray table = "label: dos\nstart=" + QByteArray::number(partitionOffset / 512) +
                             ", size=" + QByteArray::number(bytes / 512) + ", type=83\n";
    const auto [sfdisk, sfdiskOut] = runTool("sfdisk", {"-q", image}, table);
    if (sfdisk != 0)
        ADD_FAILURE() << sfdiskOut.toStdString();
    return sfdisk == 0;
}

bool extractLargePartition(const QString& image, const QString& path) {
    const auto [dd, ddOut] = runTool(
        "dd", {"if=" + image, "of=" + path, "bs=1M",
               QStringLiteral("skip=%1").arg(partitionOffset >> 20), "conv=sparse", "status=none"});
    if (dd != 0)
        ADD_FAILURE() << ddOut.toStdString();
    return dd == 0;
}

bool extractPartition(const QString& image, const QString& path, int number) {
    QFile file(image);
    QFile out(path);
    if (!file.open(QIODevice::ReadOnly) ||
        !file.seek(partitionOffset + (number - 1) * partitionBytes) ||
        !out.open(QIODevice::WriteOnly))
        return false;
    return out.write(file.read(partitionBytes)) == partitionBytes;
}

bool isPartitionClean(const QString& image, int number) {
    QTemporaryDir dir;
    const QString part = dir.filePath("check.img");
    if (!extractPartition(image, part, number))
        return false;
    const auto [status, output] = runTool("e2fsck", {"-fn", part});
    if (status != 0)
        ADD_FAILURE() << output.toStdString();
    return status == 0;
}

CliResult cli(const QStringList& args) {
    QProcess process;
    process.start(qEnvironmentVariable("QUORVALE_BUILD_DIR") + "/bin/quorvale-cli",
                  QStringList{"--ready-timeout", "120"} + args);
    process.waitForStarted(10000);
    process.closeWriteChannel();
    process.waitForFinished(300000);
    const QByteArray out = process.readAllStandardOutput();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(out), QString::fromUtf8(process.readAllStandardError()), out};
}

QByteArray fileSha256(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    if (!file.isOpen())
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

QStringList describeLocalTree(const QString& dir) {
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(dir).relativeFilePath(path);
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        if (S_ISLNK(st.st_mode)) {
            char target[4096] = {};
            ::readlink(QFile::encodeName(path).constData(), target, sizeof target - 1);
            out << rel + "@ -> " + QString::fromUtf8(target);
        } else if (S_ISDIR(st.st_mode)) {
            out << rel + "/ " + QString::number(st.st_mode & 07777, 8);
        } else {
            out << QStringLiteral("%1 %2 %3 %4")
                       .arg(rel, QString::number(st.st_mode & 07777, 8))
                       .arg(st.st_mtim.tv_sec)
                       .arg(QString::fromLatin1(fileSha256(path)));
        }
    }
    out.sort();
    return out;
}

QStringList treeDifference(const QStringList& actual, const QStringList& expected) {
    QStringList difference;
    for (const QString& line : expected)
        if (!actual.contains(line))
            difference << "- " + line;
    for (const QString& line : actual)
        if (!expected.contains(line))
            difference << "+ " + line;
    return difference;
}

}  // namespace quorvale::testing
