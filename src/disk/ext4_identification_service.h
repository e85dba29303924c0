#pragma once
// Confirms an ext2/ext3/ext4 filesystem by the superblock magic 0xEF53 (little-endian u16 at
// byte 1080 of the partition). Only reads; every failure answers false and is logged under
// "com.quorvale.app.EXT4". Stateless apart from the device directory: safe on any thread.

#include <QLoggingCategory>
#include <QString>

#include <cstdint>

Q_DECLARE_LOGGING_CATEGORY(lcEXT4)

namespace quorvale::disk {

class EXT4IdentificationService {
public:
    // deviceDirectory is where device nodes live ("/dev"; tests point it elsewhere).
    explicit EXT4IdentificationService(QString deviceDirectory = QStringLiteral("/dev"));

    // Opens <deviceDirectory>/<bsdName> read-only and checks the magic. Linux has no raw
    // twin of a block device, so there is no second open; the failure line still names both.
    bool isEXT4(const QString& bsdName) const;

    // Checks the magic of a filesystem starting at byte `offset` of the file at `path`.
    bool isEXT4(const QString& path, std::uint64_t offset) const;

    // Checks the magic through an already open descriptor (not closed); `path` names it in logs.
    static bool checkMagic(int fd, std::uint64_t offset, const QString& path);

private:
    QString deviceDirectory;
};

}  // namespace quorvale::disk
