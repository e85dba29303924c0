#include "app/devices/mount_choice.h"

namespace quorvale::app {

MountDecision decideMount(const HealthCard& card, JournalChoice choice, const QString& name) {
    MountDecision decision;
    if (card.cannotOpen) {
        decision.action = MountDecision::Action::refuse;
        decision.notice = QStringLiteral("Cannot mount %1: %2").arg(name, card.summary);
        return decision;
    }
    decision.openDiskReadOnly = card.writeProtected;
    if (card.writeProtected) {
        decision.readOnly = true;
        decision.notice = QStringLiteral("%1 is write-protected: opened read-only").arg(name);
        return decision;
    }
    if (card.readOnlyOnly) {
        decision.readOnly = true;
        decision.notice = QStringLiteral("%1 opened read-only: %2").arg(name, card.summary);
        return decision;
    }
    switch (choice) {
        case JournalChoice::openReadOnly:
            decision.readOnly = true;
            decision.notice =
                card.needsRecovery
                    ? QStringLiteral("%1 opened read-only: the journal was not replayed").arg(name)
                    : QStringLiteral("%1 opened read-only").arg(name);
            return decision;
        case JournalChoice::repairAndOpen:
            decision.replayJournal = true;
            return decision;
        case JournalChoice::undecided:
            break;
    }
    if (card.needsRecovery)
        decision.action = MountDecision::Action::ask;
    return decision;
}

}  // namespace quorvale::app
