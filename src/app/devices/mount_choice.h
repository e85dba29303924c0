#pragma once
// How a partition opens, decided from its health card and the person's choice about a journal
// that needs recovery: refused (features the guest kernel does not know), a question first (the
// journal needs recovery and nobody chose yet), read-only (the choice, a write-protected medium
// or read-only-compatible features the kernel does not know: the journal is never replayed),
// or read-write (replaying the journal only when "Repair and Open" was chosen).

#include <QString>

#include <optional>

#include "app/health/health_card.h"

namespace quorvale::app {

enum class JournalChoice { undecided, openReadOnly, repairAndOpen };

struct MountDecision {
    enum class Action { open, ask, refuse };
    Action action = Action::open;
    bool readOnly = false;          // mount read-only, journal not loaded
    bool replayJournal = false;     // let the kernel replay the journal
    bool openDiskReadOnly = false;  // the medium refuses writes: ask for a read-only handle
    QString notice;  // banner text for a read-only opening or a refusal; empty otherwise
};

// `name` is the partition's label or device name, used in the texts.
MountDecision decideMount(const HealthCard& card, JournalChoice choice, const QString& name);

}  // namespace quorvale::app
