// The host's check that a disk still is what the VM was given, on image files: shrunk (a reader
// left empty), grown (another card), untouched, and which disk a partition name checks.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <string>

#include "guest/held_disks.h"
#include "guest/vm_error.h"

namespace quorvale::guest {
namespace {

class HeldDisksTest : public ::testing::Test {
protected:
    // An image file of `size` bytes held under `name`; returns its path.
    std::string hold(const QString& name, off_t size) {
        const std::string path = dir.filePath(name).toStdString();
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        EXPECT_TRUE(fd.valid());
        EXPECT_EQ(::ftruncate(fd.get(), size), 0);
        EXPECT_EQ(diskSize(fd.get()), static_cast<std::uint64_t>(size));
        disks.hold(name, std::move(fd), static_cast<std::uint64_t>(size));
        return path;
    }

    // The error check() throws for `device`; empty when it passes.
    std::string failure(const std::optional<QString>& device) const {
        try {
            disks.check(device);
        } catch (const VMError& error) {
            EXPECT_EQ(error.kind, VMError::Kind::diskRemoved);
            return error.what();
        }
        return {};
    }

    QTemporaryDir dir;
    HeldDisks disks;
};

TEST_F(HeldDisksTest, AShrunkOrGrownDiskFailsTheChecksThatNameIt) {
    const std::string first = hold("image0", 1 << 20);
    const std::string second = hold("image1", 1 << 20);
    EXPECT_EQ(failure(std::nullopt), "");
    EXPECT_EQ(failure(QStringLiteral("image0p1")), "");

    ASSERT_EQ(::truncate(first.c_str(), 0), 0);
    const std::string error = failure(QStringLiteral("image0p1"));
    EXPECT_EQ(error,
              "The card was removed: image0 has 0 bytes, not the 1048576 it had when the VM was "
              "given it");
    EXPECT_EQ(failure(QStringLiteral("image0")), error);
    EXPECT_EQ(failure(std::nullopt), error) << "no disk named: every disk is checked";
    EXPECT_EQ(failure(QStringLiteral("image1p2")), "") << "the other card is still there";
    EXPECT_EQ(failure(QStringLiteral("image7p1")), "") << "a disk not held is not checked";

    // A bigger card in the same reader is not the card either.
    ASSERT_EQ(::truncate(second.c_str(), 2 << 20), 0);
    EXPECT_NE(failure(QStringLiteral("image1p1")), "");

    // Back to its size (the card put back), and once released, the disk checks clean.
    ASSERT_EQ(::truncate(second.c_str(), 1 << 20), 0);
    EXPECT_EQ(failure(QStringLiteral("image1p1")), "");
    disks.release(QStringLiteral("image0"));
    EXPECT_EQ(failure(std::nullopt), "");
}

TEST(DiskSize, RefusesWhatIsNeitherAFileNorABlockDevice) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const UniqueFd read(pipe[0]), write(pipe[1]);
    EXPECT_EQ(diskSize(read.get()), std::nullopt);
    EXPECT_EQ(diskSize(-1), std::nullopt);
}

}  // namespace
}  // namespace quorvale::guest
