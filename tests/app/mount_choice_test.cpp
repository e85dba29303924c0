// How a partition opens for each kind of card and choice.

#include <gtest/gtest.h>

#include "app/devices/mount_choice.h"

namespace quorvale::app {
namespace {

using Action = MountDecision::Action;

TEST(MountChoice, CardAndChoiceDecideHowThePartitionOpens) {
    struct Case {
        const char* name;
        std::function<void(HealthCard&)> card;
        JournalChoice choice;
        Action action;
        bool readOnly, replay, diskReadOnly;
        QString notice;
    };
    const auto dirty = [](HealthCard& c) { c.needsRecovery = true; };
    const Case cases[] = {
        {"healthy", [](HealthCard&) {}, JournalChoice::undecided, Action::open, false, false, false,
         ""},
        {"dirty journal, nobody chose", dirty, JournalChoice::undecided, Action::ask, false, false,
         false, ""},
        {"dirty journal, read-only", dirty, JournalChoice::openReadOnly, Action::open, true, false,
         false, "CARD opened read-only: the journal was not replayed"},
        {"clean card, read-only asked", [](HealthCard&) {}, JournalChoice::openReadOnly,
         Action::open, true, false, false, "CARD opened read-only"},
        {"dirty journal, repair", dirty, JournalChoice::repairAndOpen, Action::open, false, true,
         false, ""},
        {"write-protected and dirty: never asks, never replays",
         [](HealthCard& c) {
             c.needsRecovery = true;
             c.writeProtected = c.readOnlyOnly = true;
         },
         JournalChoice::repairAndOpen, Action::open, true, false, true,
         "CARD is write-protected: opened read-only"},
        {"unknown read-only-compatible feature",
         [](HealthCard& c) {
             c.readOnlyOnly = true;
             c.summary = "Read-only: unsupported features FEATURE_R20";
         },
         JournalChoice::undecided, Action::open, true, false, false,
         "CARD opened read-only: Read-only: unsupported features FEATURE_R20"},
        {"unknown incompatible feature",
         [](HealthCard& c) {
             c.cannotOpen = true;
             c.summary = "Cannot be opened: unsupported features FEATURE_I30";
         },
         JournalChoice::repairAndOpen, Action::refuse, false, false, false,
         "Cannot mount CARD: Cannot be opened: unsupported features FEATURE_I30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HealthCard card;
        card.readable = true;
        card.summary = "Healthy";
        c.card(card);
        const MountDecision d = decideMount(card, c.choice, "CARD");
        EXPECT_EQ(d.action, c.action);
        EXPECT_EQ(d.readOnly, c.readOnly);
        EXPECT_EQ(d.replayJournal, c.replay);
        EXPECT_EQ(d.openDiskReadOnly, c.diskReadOnly);
        EXPECT_EQ(d.notice.toStdString(), c.notice.toStdString());
    }
}

}  // namespace
}  // namespace quorvale::app
