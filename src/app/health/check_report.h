#pragma once
// CheckReport: what a read-only filesystem check (after an eject, or on demand) means for the
// person holding the card: clean, damaged (with what e2fsck found), skipped, or not run. The
// superblock as the check found it counts too: a card is clean only when e2fsck found nothing
// and the superblock is marked cleanly unmounted with no errors and no journal to recover.

#include <QString>
#include <QStringList>

#include "fileops/partition_control.h"

namespace quorvale::app {

struct CheckReport {
    enum class Outcome { clean, damaged, skipped, failed };
    Outcome outcome = Outcome::failed;
    QString message;       // one line for the banner
    QStringList findings;  // e2fsck's problem lines, without its "Fix? no"
    QString summary;       // e2fsck's closing "files ... blocks" line, when there is one
    // The status a command reports, as e2fsck's: 0 clean, 4 damaged, 8 not run, 32 skipped.
    int exitStatus() const;
};

CheckReport makeCheckReport(const fileops::CheckStatus& status);

}  // namespace quorvale::app
