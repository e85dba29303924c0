// bench_vm_tree: a tree of 1,000 files in 50 folders (with links and an empty folder) exported
// from and uploaded to a card through the VM under TCG, as the window and the CLI copy folders.
// Beside it in the same run: `cp -r` of the same tree on this computer, libguestfs' guestfish
// `copy-out` / `copy-in` of it when installed (with and without its appliance's start, and its
// own link's rate), and our raw link in each direction (padded pings host to guest, a sparse
// file guest to host). Medians of 5 (QUORVALE_BENCH_RUNS),
// files/s and MB/s, with the load average beside each figure.

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "fileops/file_operation_service.h"
#include "fileops/tree_transfer.h"
#include "guest/host_virtualization.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "rpc/base64.h"
#include "vm/vm_test_support.h"

namespace {

using namespace quorvale;
using namespace quorvale::guest;
using Clock = std::chrono::steady_clock;
using testing::run;

constexpr int folders = 50;
constexpr int filesPerFolder = 20;
constexpr int files = folders * filesPerFolder;

int runCount() {
    const int runs = qEnvironmentVariableIntValue("QUORVALE_BENCH_RUNS");
    return runs > 0 ? runs : 5;
}

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string load() {
    double one = -1;
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &one) != 1)
            one = -1;
        std::fclose(file);
    }
    char text[64];
    std::snprintf(text, sizeof text, "load %.2f", one);
    return text;
}

void mustRun(const std::string& command) {
    if (testing::shell(command) != 0) {
        std::fprintf(stderr, "bench_vm_tree: failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// The tree; returns its bytes.
qint64 makeTree(const QString& root) {
    qint64 bytes = 0;
    for (int d = 0; d < folders; ++d) {
        const QString folder = QStringLiteral("%1/group %2/sub%3").arg(root).arg(d % 10).arg(d);
        QDir().mkpath(folder);
        for (int f = 0; f < filesPerFolder; ++f) {
            QByteArray data((d * filesPerFolder + f) * 41 % 40000, char('a' + f));
            QFile file(QStringLiteral("%1/file-%2.dat").arg(folder).arg(f));
            if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
                std::fprintf(stderr, "bench_vm_tree: cannot write the tree\n");
                std::exit(1);
            }
            bytes += data.size();
        }
        if (d % 5 == 0)
            QFile::link(QStringLiteral("file-1.dat"), folder + "/link");
    }
    QDir().mkpath(root + "/empty");
    return bytes;
}

struct VM {
    // The build tree's image, unless the application's override names another.
    VMLifecycleService service{
        VMResources(qEnvironmentVariable(VMResources::overrideVariable, QUORVALE_BENCH_SHARE_DIR))};
    VsockTransport transport;

    explicit VM(const QString& image) {
        std::vector<VMDisk> disks;
        disks.push_back(
            {QStringLiteral("image0"),
             UniqueFd(::open(QFile::encodeName(image).constData(), O_RDWR | O_CLOEXEC))});
        run(service.bootVM(std::move(disks)));
        UniqueFd stream = testing::waitForAgent(service, std::chrono::seconds(180));
        if (!stream) {
            std::fprintf(stderr, "bench_vm_tree: the agent did not answer\n");
            std::exit(1);
        }
        transport.connect(std::move(stream));
    }
    ~VM() {
        transport.disconnect();
        run(service.stopVM());
    }
};

void print(const char* what, const std::vector<double>& seconds, qint64 bytes) {
    const double t = median(seconds);
    std::printf("  %-34s %8.1f files/s %8.2f MB/s  (%.2f s; %s)\n", what, files / t,
                bytes / 1e6 / t, t, load().c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.*=false"));
    qputenv(acceleratorVariable, "tcg");
    const int runs = runCount();
    QTemporaryDir dir;
    const QString card = dir.filePath("card");
    const QString tree = card + "/tree";
    const qint64 bytes = makeTree(tree);
    // One hole of 64 MiB: the guest reads it without touching the disk.
    mustRun("truncate -s 64M '" + card.toStdString() + "/sparse.bin'");
    const QString image = dir.filePath("card.img");
    mustRun("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 -d '" + card.toStdString() +
            "' '" + image.toStdString() + "' 512M");
    std::printf("tree of %d files in %d folders, %.1f MB, under TCG (medians of %d)\n", files,
                folders, bytes / 1e6, runs);

    std::vector<double> exports, uploads, copies, toGuest, fromGuest;
    {
        VM vm(image);
        fileops::FileOperationService service(vm.transport);
        const std::optional<QString> partition = QStringLiteral("image0");
        const QList<model::FileItem> top = run(service.listDirectory("/", partition));
        QList<model::FileItem> items;
        for (const model::FileItem& item : top)
            if (item.name == QLatin1String("tree"))
                items << item;
        for (int i = 0; i < runs; ++i) {
            const QString out = dir.filePath(QStringLiteral("out%1").arg(i));
            QDir().mkpath(out);
            fileops::TreeOptions options;
            options.partition = partition;
            auto start = Clock::now();
            const auto exported = run(fileops::exportTree(service, items, out, options));
            exports.push_back(since(start));
            if (exported.filesDone != files) {
                std::fprintf(stderr, "bench_vm_tree: exported %d files\n", exported.filesDone);
                return 1;
            }
            QDir(out).removeRecursively();
            const QString folder = QStringLiteral("/up%1").arg(i);
            run(service.createDirectory(folder, partition));
            start = Clock::now();
            const auto uploaded = run(fileops::uploadTree(service, {tree}, folder, options));
            uploads.push_back(since(start));
            if (uploaded.filesDone != files) {
                std::fprintf(stderr, "bench_vm_tree: uploaded %d files\n", uploaded.filesDone);
                return 1;
            }
            run(service.deletePaths({folder}, partition));

            // The raw link: the tree's bytes as padded pings of 256 KiB, and a hole read back.
            const std::string padding(rpc::base64EncodedSize(256 << 10), 'x');
            start = Clock::now();
            for (qint64 sent = 0; sent < 64 << 20; sent += 256 << 10) {
                rpc::Params params{{"padding", rpc::AnyCodable(padding)}};
                run(vm.transport.send("ping", std::move(params), std::chrono::seconds(60)));
            }
            toGuest.push_back(double(64 << 20) / 1e6 / since(start));
            const QString sparse = dir.filePath("sparse.bin");
            fileops::TransferOptions transfer;
            transfer.partition = partition;
            start = Clock::now();
            run(service.exportFile("/sparse.bin", sparse, 64 << 20, transfer));
            fromGuest.push_back(double(64 << 20) / 1e6 / since(start));
            QFile::remove(sparse);
        }
    }
    for (int i = 0; i < runs; ++i) {
        const QString out = dir.filePath(QStringLiteral("cp%1").arg(i));
        const auto start = Clock::now();
        mustRun("cp -a '" + tree.toStdString() + "' '" + out.toStdString() + "'");
        copies.push_back(since(start));
        QDir(out).removeRecursively();
    }
    print("export through the VM", exports, bytes);
    print("upload through the VM", uploads, bytes);
    print("cp -a on this computer", copies, bytes);
    std::printf("  raw link: host to guest %.1f MB/s, guest to host %.1f MB/s (%s)\n",
                median(toGuest), median(fromGuest), load().c_str());

    if (QStandardPaths::findExecutable("guestfish").isEmpty()) {
        std::printf("  libguestfs: skipped (guestfish is not installed)\n");
        return 0;
    }
    // The same card through libguestfs' own appliance, each command a whole guestfish run: its
    // appliance start is timed alone too, and its raw link is a 64 MiB hole downloaded.
    const std::string disk = "-a '" + image.toStdString() + "' -m /dev/sda ";
    const std::string guestfish = "guestfish " + disk;
    const std::string readOnly = "guestfish --ro " + disk;
    std::vector<double> launches, copyOut, copyIn, guestfsRaw;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        mustRun(readOnly + "ping-daemon");
        launches.push_back(since(start));
        const QString out = dir.filePath(QStringLiteral("guestfs%1").arg(i));
        QDir().mkpath(out);
        start = Clock::now();
        mustRun(readOnly + "copy-out /tree '" + out.toStdString() + "'");
        copyOut.push_back(since(start));
        if (i == 0 && testing::shell("diff -r --no-dereference '" + tree.toStdString() + "' '" +
                                     out.toStdString() + "/tree'") != 0) {
            std::fprintf(stderr, "bench_vm_tree: libguestfs copied out another tree\n");
            return 1;
        }
        QDir(out).removeRecursively();
        const std::string target = "/in" + std::to_string(i);
        start = Clock::now();
        mustRun(guestfish + "mkdir " + target + " : copy-in '" + tree.toStdString() + "' " +
                target);
        copyIn.push_back(since(start));
        start = Clock::now();
        mustRun(readOnly + "download /sparse.bin /dev/null");
        guestfsRaw.push_back(since(start));
    }
    print("libguestfs copy-out", copyOut, bytes);
    print("libguestfs copy-in", copyIn, bytes);
    const double launch = median(launches);
    const auto withoutLaunch = [launch](std::vector<double> runs) {
        for (double& t : runs)
            t = std::max(t - launch, 1e-3);
        return runs;
    };
    print("libguestfs copy-out less its start", withoutLaunch(copyOut), bytes);
    print("libguestfs copy-in less its start", withoutLaunch(copyIn), bytes);
    // The hole's download less the start; lost in the start's spread when that is larger.
    const double raw = median(guestfsRaw) - launch;
    std::printf("  libguestfs appliance start %.2f s; 64 MiB hole downloaded in %.2f s", launch,
                median(guestfsRaw));
    if (raw > 0.1 * launch)
        std::printf(", its raw link guest to host %.1f MB/s", double(64 << 20) / 1e6 / raw);
    std::printf(" (%s)\n", load().c_str());
    return 0;
}
