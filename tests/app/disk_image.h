#pragma once
// Disk images for the VM tests: an MBR image with one Linux partition at 1 MiB holding an ext4
// filesystem made with mkfs.ext4 -d, and the checks run on it afterwards.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <utility>

namespace quorvale::testing {

// Whether the build tree holds the VM kernel and initramfs.
bool vmImageAvailable();
void writeFile(const QString& path, const QByteArray& bytes);
// Runs a program; its exit status (-1 when it did not run) and its output.
std::pair<int, QByteArray> runTool(const QString& program, const QStringList& args,
                                   const QByteArray& input = {});
bool makeDiskImage(const QString& tree, const QString& image, const QString& scratch);
// The partition copied out of the image to `path`.
bool extractPartition(const QString& image, const QString& path);
// e2fsck -fn on the image's partition.
bool isPartitionClean(const QString& image);

}  // namespace quorvale::testing
