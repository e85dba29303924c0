// The workloads on a mount served from the real agent on the host: the filesystem layer
// itself, quickly, without the VM (the same workloads run through the VM in mount_vm_test).

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "mount_workloads.h"
#include "mounted_card.h"

namespace quorvale::testing {
namespace {

class HostMountWorkload : public ::testing::TestWithParam<Workload> {
protected:
    static void SetUpTestSuite() {
        tree = new QTemporaryDir;
        makeWorkloadTree(qPrintable(tree->path()));
        card = MountedCard::fromHost(tree->path()).release();
    }
    static void TearDownTestSuite() {
        if (card) {
            EXPECT_EQ(card->unmount(), 0);
        }
        delete card;
        delete tree;
    }
    static inline QTemporaryDir* tree = nullptr;
    static inline MountedCard* card = nullptr;
};

TEST_P(HostMountWorkload, Runs) {
    ASSERT_TRUE(card && card->ready()) << (card ? card->failure().toStdString() : "");
    QString output;
    EXPECT_EQ(card->shell(QString(workloadSource) + GetParam().script, &output), 0)
        << output.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Mount, HostMountWorkload, ::testing::ValuesIn(mountWorkloads),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvale::testing
