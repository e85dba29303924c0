// The health card's verdicts: which finding leads, how the card says the partition may be
// opened, and the rows people read.

#include <gtest/gtest.h>

#include "app/health/health_card.h"

namespace quorvale::app {
namespace {

using Level = HealthCard::Level;

rpc::ExtSuperblock cleanExt4() {
    rpc::ExtSuperblock sb;
    sb.filesystem = "ext4";
    sb.label = "CARD";
    sb.blockSize = 4096;
    sb.blockCount = 8192;
    sb.freeBlocks = 4096;
    sb.state = 1;
    sb.compat = rpc::extCompatHasJournal;
    sb.incompat = 0x2 | 0x40;
    sb.roCompat = 0x1 | 0x2;
    sb.created = 1700000000;
    return sb;
}

QString row(const HealthCard& card, const QString& field) {
    for (const auto& r : card.rows) {
        if (r.field == field)
            return r.value;
    }
    return QStringLiteral("<missing>");
}

TEST(HealthCard, TheWeightiestFindingLeadsAndSetsHowThePartitionOpens) {
    struct Case {
        const char* name;
        std::function<void(disk::PartitionHealth&)> change;
        QString summary;
        Level level;
        bool readOnlyOnly, cannotOpen, needsRecovery;
    };
    const Case cases[] = {
        {"clean", [](auto&) {}, "Healthy", Level::good, false, false, false},
        {"dirty journal",
         [](auto& h) {
             h.superblock->incompat |= rpc::extIncompatRecover;
             h.superblock->state = 0;
         },
         "Not unmounted cleanly: the journal needs recovery", Level::warning, false, false, true},
        {"errors outrank a dirty journal",
         [](auto& h) {
             h.superblock->incompat |= rpc::extIncompatRecover;
             h.superblock->errorCount = 3;
         },
         "Errors recorded: 3", Level::danger, false, false, true},
        {"unknown read-only-compatible feature",
         [](auto& h) { h.superblock->roCompat |= 1u << 20; },
         "Read-only: unsupported features FEATURE_R20", Level::warning, true, false, false},
        {"unknown incompatible feature", [](auto& h) { h.superblock->incompat |= 1u << 30; },
         "Cannot be opened: unsupported features FEATURE_I30", Level::danger, false, true, false},
        {"write-protected", [](auto& h) { h.writeProtected = true; },
         "Write-protected: opens read-only", Level::notice, true, false, false},
        {"errors flag without a count", [](auto& h) { h.superblock->state = 3; },
         "The kernel marked the filesystem as damaged", Level::danger, false, false, false},
        {"wrong checksum",
         [](auto& h) {
             h.superblock->hasChecksum = true;
             h.superblock->checksumValid = false;
         },
         "Damaged: the superblock checksum is wrong", Level::danger, false, false, false},
        {"mount limit reached",
         [](auto& h) {
             h.superblock->mountCount = 30;
             h.superblock->maxMountCount = 30;
         },
         "A check is due: mount count reached", Level::notice, false, false, false},
        {"larger than its partition", [](auto& h) { h.largerThanPartition = true; },
         "Damaged: the filesystem is larger than its partition", Level::danger, false, false,
         false},
        {"unreadable",
         [](auto& h) {
             h.superblock.reset();
             h.problem = "no ext2/3/4 superblock";
         },
         "Unreadable: no ext2/3/4 superblock", Level::danger, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disk::PartitionHealth health;
        health.superblock = cleanExt4();
        c.change(health);
        const HealthCard card = makeHealthCard(health);
        EXPECT_EQ(card.summary, c.summary);
        EXPECT_EQ(card.level, c.level);
        EXPECT_EQ(card.readOnlyOnly, c.readOnlyOnly);
        EXPECT_EQ(card.cannotOpen, c.cannotOpen);
        EXPECT_EQ(card.needsRecovery, c.needsRecovery);
        EXPECT_TRUE(card.text().startsWith("Health: " + c.summary + "\n"));
    }
}

TEST(HealthCard, RowsCarryTheSuperblockFields) {
    disk::PartitionHealth health;
    health.superblock = cleanExt4();
    auto& sb = *health.superblock;
    sb.uuid = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
               0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
    sb.mountCount = 4;
    sb.lastMount = 1714564800;
    sb.lastMountedOn = "/media/card";
    sb.errorCount = 2;
    sb.firstError = rpc::ExtErrorRecord{1714564800, "ext4_lookup", 1850, 12, 0};
    sb.lastOrphan = 13;
    const HealthCard card = makeHealthCard(health);
    EXPECT_EQ(row(card, "Label"), "CARD");
    EXPECT_EQ(row(card, "UUID"), "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    EXPECT_TRUE(row(card, "Size").contains("8192 blocks of 4096 bytes"));
    EXPECT_EQ(row(card, "Last mounted"), "2024-05-01 12:00:00 UTC on /media/card");
    EXPECT_EQ(row(card, "Last checked"), "never");
    EXPECT_EQ(row(card, "Mount count"), "4 (no limit)");
    EXPECT_EQ(row(card, "Errors recorded"), "2");
    EXPECT_EQ(row(card, "First error"), "2024-05-01 12:00:00 UTC in ext4_lookup:1850, inode 12");
    EXPECT_EQ(row(card, "Last error"), "<missing>");
    EXPECT_EQ(row(card, "Orphan inodes"), "present");
    EXPECT_EQ(row(card, "Journal"), "clean");
    EXPECT_EQ(row(card, "Features (incompatible)"), "filetype extent");
    EXPECT_EQ(row(card, "Write-protected"), "no");
}

}  // namespace
}  // namespace quorvale::app
