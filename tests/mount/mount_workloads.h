#pragma once
// What real programs do on a mounted card, each a shell script that fails when the result is
// not exact (run with $M the mount and $W a scratch folder; see MountedCard). The card holds
// many/ with 10,000 small files when the workloads begin.

#include <vector>

namespace quorvale::testing {

struct Workload {
    const char* name;
    const char* script;
};

extern const std::vector<Workload> mountWorkloads;
// Remakes $W/src, the host tree the copying workloads start from.
extern const char* const workloadSource;

// Makes, below `dir`, the tree the workloads expect on the card.
void makeWorkloadTree(const char* dir);

}  // namespace quorvale::testing
