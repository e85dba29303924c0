// bench_health: the verified eject of a 512 MiB card holding 10,000 files. Each of 5 runs mounts
// the card read-write in the VM, syncs and unmounts it as an eject does, and times the guest's
// read-only check (e2fsck -fn) from its start to its verdict; beside it, in the same run, the
// host's own `e2fsck -fn` of the same image. Prints the medians, their ratio (target at most 3x)
// and the load average.

#include <fcntl.h>
#include <unistd.h>

#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fileops/partition_control.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "vm/vm_test_support.h"

namespace {

using namespace quorvale;
using Clock = std::chrono::steady_clock;
using guest::testing::run;

constexpr int runs = 5;
constexpr int files = 10000;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void mustRun(const std::string& command) {
    if (guest::testing::shell(command) != 0) {
        std::fprintf(stderr, "bench_health: failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    guest::testing::ensureApplication();
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("card.img").toStdString();
    // 10,000 small files in 100 folders, as photos and notes on a card would be.
    mustRun("mkdir -p '" + tree + "' && cd '" + tree +
            "' && for d in $(seq 1 100); do mkdir d$d; " + "for f in $(seq 1 " +
            std::to_string(files / 100) +
            "); do printf 'file %s %s\\n' $d $f > d$d/f$f.txt; done; done");
    mustRun("mkfs.ext4 -q -F -L BENCH -d '" + tree + "' '" + image + "' 512M");

    std::vector<double> guest, host, eject;
    std::string verdict;
    for (int i = 0; i < runs; ++i) {
        guest::VMLifecycleService service{guest::VMResources(QUORVALE_BENCH_SHARE_DIR)};
        guest::VsockTransport transport;
        // The guest finds the disk by its name: an unpartitioned image is "image0".
        std::vector<guest::VMDisk> disks;
        disks.push_back(
            {QStringLiteral("image0"), UniqueFd(::open(image.c_str(), O_RDWR | O_CLOEXEC))});
        run(service.bootVM(std::move(disks)));
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        while (Clock::now() < deadline) {
            try {
                transport.connect(run(service.connectVsock(5000)));
                if (run(transport.send("ping", {}, std::chrono::seconds(10))))
                    break;
            } catch (const std::exception&) {
                run(QCoro::sleepFor(std::chrono::milliseconds(250)));
            }
        }
        fileops::PartitionControl control(transport);
        run(control.mount(QStringLiteral("image0"), false, false));
        const auto ejectStart = Clock::now();
        run(transport.send("sync", {}, std::chrono::seconds(60)));
        run(transport.send("unmount", {}, std::chrono::seconds(60)));
        const auto checkStart = Clock::now();
        const fileops::CheckStatus status =
            run(control.runCheck(QStringLiteral("image0"), {}, std::stop_token()));
        guest.push_back(since(checkStart));
        eject.push_back(since(ejectStart));
        if (status.exitCode != 0) {
            std::fprintf(stderr, "bench_health: the guest's check failed (%d): %s\n",
                         status.exitCode.value_or(-1), qUtf8Printable(status.output));
            return 1;
        }
        transport.disconnect();
        run(service.stopVM());

        const auto hostStart = Clock::now();
        mustRun("e2fsck -fn '" + image + "' >/dev/null 2>&1");
        host.push_back(since(hostStart));
    }
    const double ratio = median(guest) / median(host);
    std::printf("verified eject of a 512 MiB card with %d files (median of %d):\n", files, runs);
    std::printf("  guest e2fsck -fn (check start to verdict)  %.3f s\n", median(guest));
    std::printf("  host  e2fsck -fn of the same image         %.3f s\n", median(host));
    std::printf("  ratio guest/host                           %.2fx (target <= 3x)\n", ratio);
    std::printf("  sync + unmount + check                     %.3f s\n", median(eject));
    std::printf("  load average                               %s\n", loadAverage().c_str());
    return 0;
}
