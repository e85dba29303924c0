// Health cards: how a card's health decides how it opens, and when cards are read.

#include <QScopeGuard>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "device_list_fixture.h"

namespace quorvale::app {
namespace {

// The road as each kind of card and choice sends it: what the helper opens, what the guest is
// asked to mount, what the person is asked or told.
TEST_F(DeviceListTest, HealthDecidesHowThePartitionOpens) {
    struct Case {
        const char* name;
        std::function<void(disk::PartitionHealth&)> card;
        JournalChoice choice;
        bool boots;
        std::optional<bool> diskReadOnly;  // the helper's read-only flag, when it was asked
        QString mountParams;               // fragment of the mount_partition params
        std::optional<AppAlert::Kind> alert;
        QString banner;
    };
    const auto dirty = [](disk::PartitionHealth& h) {
        h.superblock->incompat |= rpc::extIncompatRecover;
    };
    const Case cases[] = {
        {"healthy", [](auto&) {}, JournalChoice::undecided, true, false,
         R"("read_only":false,"replay_journal":false)", std::nullopt, ""},
        {"dirty journal asks first", dirty, JournalChoice::undecided, false, std::nullopt, "",
         AppAlert::Kind::journalRecovery, ""},
        {"dirty journal opened read-only", dirty, JournalChoice::openReadOnly, true, false,
         R"("read_only":true,"replay_journal":false)", std::nullopt,
         "sdb2 opened read-only: the journal was not replayed"},
        {"dirty journal repaired", dirty, JournalChoice::repairAndOpen, true, false,
         R"("read_only":false,"replay_journal":true)", std::nullopt, ""},
        {"write-protected", [](auto& h) { h.writeProtected = true; }, JournalChoice::undecided,
         true, true, R"("read_only":true,"replay_journal":false)", std::nullopt,
         "sdb2 is write-protected: opened read-only"},
        {"unknown incompatible feature", [](auto& h) { h.superblock->incompat |= 1u << 30; },
         JournalChoice::undecided, false, std::nullopt, "", std::nullopt,
         "Cannot mount sdb2: Cannot be opened: unsupported features FEATURE_I30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run(vm.stopVM());
        run(model->deviceRemoved("sdb"));  // each case is a fresh card: no handle is held
        helper.opened.clear();
        helper.readOnlyFlags.clear();
        vm.boots = 0;
        state.setActiveAlert(std::nullopt);
        state.setErrorMessage(std::nullopt);
        health.superblock->incompat = 0;
        health.writeProtected = false;
        c.card(health);
        const int before = mountsFinished;
        model->mount(partition("sdb2", FilesystemType::ext4), c.choice);
        ASSERT_TRUE(waitForMounts(before + 1));
        EXPECT_EQ(vm.boots, c.boots ? 1 : 0);
        if (c.diskReadOnly) {
            EXPECT_EQ(helper.readOnlyFlags, std::vector<bool>{*c.diskReadOnly});
        } else {
            EXPECT_TRUE(helper.opened.isEmpty());
        }
        if (c.boots) {
            ASSERT_FALSE(vm.guests.empty());
            EXPECT_EQ(vm.guests.back()->methods, (QStringList{"ping", "mount_partition"}));
            EXPECT_TRUE(vm.guests.back()->requests.last().contains(c.mountParams))
                << vm.guests.back()->requests.last().toStdString();
        }
        EXPECT_EQ(state.activeAlert().has_value(), c.alert.has_value());
        if (c.alert && state.activeAlert()) {
            EXPECT_EQ(state.activeAlert()->kind, *c.alert);
            EXPECT_EQ(state.activeAlert()->partition.bsdName, "sdb2");
        }
        EXPECT_EQ(state.errorMessage().value_or("").toStdString(), c.banner.toStdString());
        ASSERT_TRUE(model->healthCard("sdb2"));
    }
}

// Cards are read for every ext partition as its device is reported, before anything mounts;
// a mounted partition keeps the card read before its mount; a removed device's cards go, even
// those still being read when it went.
TEST_F(DeviceListTest, EveryExtPartitionHasItsCardFromTheReportOn) {
    std::mutex mutex;
    QStringList reads;
    std::map<QString, std::chrono::milliseconds> slow;
    // The reads use these locals: none may outlive them.
    const auto drain = qScopeGuard([] { QThreadPool::globalInstance()->waitForDone(); });
    model->readHealth = [&](const Partition& p, int) {
        std::chrono::milliseconds pause{0};
        {
            std::lock_guard lock(mutex);
            reads << p.bsdName;
            if (slow.contains(p.bsdName))
                pause = slow[p.bsdName];
        }
        std::this_thread::sleep_for(pause);
        disk::PartitionHealth h = health;
        h.superblock->label = p.bsdName.toStdString();
        return h;
    };
    const auto readNames = [&] {
        std::lock_guard lock(mutex);
        QStringList sorted = reads;
        sorted.sort();
        return sorted;
    };
    const Device card = device(
        "sdb", {partition("sdb1", FilesystemType::fat32), partition("sdb2", FilesystemType::ext4),
                partition("sdb3", FilesystemType::ext2)});
    // Something else is selected: nothing mounts, the cards are read all the same.
    state.setSelectedPartition(partition("sdz1", FilesystemType::ext4));
    report(card);
    ASSERT_TRUE(spinUntil([&] { return model->healthCard("sdb3").has_value(); }));
    ASSERT_TRUE(spinUntil([&] { return model->healthCard("sdb2").has_value(); }));
    EXPECT_FALSE(model->healthCard("sdb1"));
    EXPECT_EQ(readNames(), (QStringList{"sdb2", "sdb3"}));
    EXPECT_TRUE(model->healthCard("sdb3")->text().contains("sdb3"))
        << model->healthCard("sdb3")->text().toStdString();
    EXPECT_EQ(vm.boots, 0);

    // Mounted, sdb2 keeps its card across a new report; sdb3 is read again.
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    {
        std::lock_guard lock(mutex);
        reads.clear();
    }
    report(card);
    ASSERT_TRUE(spinUntil([&] { return readNames() == QStringList{"sdb3"}; }));

    // Pulled out and put back: its cards go with it and are read afresh.
    run(model->deviceRemoved("sdb"));
    EXPECT_FALSE(model->healthCard("sdb2"));
    EXPECT_FALSE(model->healthCard("sdb3"));
    {
        std::lock_guard lock(mutex);
        reads.clear();
    }
    state.setSelectedPartition(partition("sdz1", FilesystemType::ext4));
    report(card);
    ASSERT_TRUE(spinUntil([&] { return readNames() == QStringList{"sdb2", "sdb3"}; }));
    ASSERT_TRUE(spinUntil([&] { return model->healthCard("sdb2").has_value(); }));
    run(model->deviceRemoved("sdb"));

    // Removed while a card is still being read: no card is left behind.
    {
        std::lock_guard lock(mutex);
        reads.clear();
        slow["sdc1"] = 200ms;
    }
    report(device("sdc", {partition("sdc1", FilesystemType::ext4)}));
    ASSERT_TRUE(spinUntil([&] { return readNames() == QStringList{"sdc1"}; }));
    run(model->deviceRemoved("sdc"));
    spinUntil([] { return false; }, 400ms);
    EXPECT_FALSE(model->healthCard("sdc1")) << "a late read stored a removed device's card";
}

}  // namespace
}  // namespace quorvale::app
