#pragma once
// Disk images for the VM tests: MBR images whose Linux partitions (32 MiB each, the first at
// 1 MiB; one larger sparse partition for big trees) hold ext4 filesystems made with
// mkfs.ext4 -d, and the checks run on them afterwards.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <utility>

namespace quorvale::testing {

// Whether the build tree holds the VM kernel and initramfs.
bool vmImageAvailable();
// Writes a file, making its folders first.
void writeFile(const QString& path, const QByteArray& bytes);
// Runs a program; its exit status (-1 when it did not run) and its output.
std::pair<int, QByteArray> runTool(const QString& program, const QStringList& args,
                                   const QByteArray& input = {});
bool makeDiskImage(const QString& tree, const QString& image, const QString& scratch);
// One partition per tree, in order, labelled `labels` (CARD when none is given).
bool makeDiskImage(const QStringList& trees, const QString& image, const QString& scratch,
                   const QStringList& labels = {});
// An image with one ext4 partition of `megabytes` MiB at 1 MiB holding `tree`, written in place
// and sparse: only what the filesystem holds takes room on the host.
bool makeLargeDiskImage(const QString& tree, const QString& image, int megabytes);
// The one partition of such an image copied out to `path` (sparse).
bool extractLargePartition(const QString& image, const QString& path);
// Partition `number` copied out of the image to `path`.
bool extractPartition(const QString& image, const QString& path, int number = 1);
// The SHA-256 of the file's bytes, in hex; empty (and a test failure) when it cannot be read.
QByteArray fileSha256(const QString& path);
// e2fsck -fn on the image's partition `number`.
bool isPartitionClean(const QString& image, int number = 1);
// Every entry below the local folder `dir`, sorted: "a.dat 644 1500000000 <sha256>",
// "sub/ 755", "link@ -> target".
QStringList describeLocalTree(const QString& dir);
// What tells two such descriptions apart: "- line" only in `expected`, "+ line" only in
// `actual`; empty when they are the same.
QStringList treeDifference(const QStringList& actual, const QStringList& expected);

struct CliResult {
    int status = -1;  // -1 when it did not exit normally
    QString out;
    QString err;
    QByteArray bytes;  // stdout as written
};
// Runs the built quorvale-cli with `args`, stdin closed.
CliResult cli(const QStringList& args);

}  // namespace quorvale::testing
