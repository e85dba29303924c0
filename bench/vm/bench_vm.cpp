// bench_vm: the guest VM's speed under the accelerator this machine offers. Prints the median of
// 5 runs of: cold boot to the first "pong" with its phases (QEMU start, kernel + modules up to the
// console port, agent serving, first pong); chunked export and upload of a 100 MiB file through
// FileOperationService, beside the raw host-to-guest rate of the same virtio-serial path (ping
// lines carrying padding); list_dir of a 10,000-entry directory.

#include <fcntl.h>
#include <unistd.h>

#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "fileops/file_operation_service.h"
#include "guest/qemu_launcher.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "rpc/base64.h"
#include "vm/vm_test_support.h"

namespace {

using namespace quorvale;
using namespace quorvale::guest;
using Clock = std::chrono::steady_clock;
using rpc::AnyCodable;
using testing::run;

constexpr int runs = 5;
constexpr std::size_t fileBytes = 100u << 20;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs a shell command line; the benchmark cannot go on without it.
void mustRun(const std::string& command) {
    if (testing::shell(command) != 0) {
        std::fprintf(stderr, "bench_vm: failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// User + system CPU time of a running process, from /proc/PID/stat.
double cpuSeconds(qint64 pid) {
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!file)
        return 0;
    char buffer[1024] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    const char* rest = std::strrchr(buffer, ')');
    if (!rest || n == 0)
        return 0;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct VM {
    VMLifecycleService service{VMResources(QUORVALE_BENCH_SHARE_DIR)};
    VsockTransport transport;
    // Seconds from the start of bootVM.
    double qemuReady = 0, consoleOpen = 0, agentOpen = 0, pong = 0;
    double qemuCpu = 0;  // CPU seconds QEMU used up to the first pong (independent of load)

    explicit VM(const std::string& image, int flags = O_RDWR) {
        std::vector<VMDisk> disks;
        if (!image.empty())
            disks.push_back(
                {QStringLiteral("image0"), UniqueFd(::open(image.c_str(), flags | O_CLOEXEC))});
        const auto start = Clock::now();
        run(service.bootVM(std::move(disks)));
        qemuReady = since(start);
        auto* vm = const_cast<QemuLauncher*>(service.virtualMachine());
        QObject::connect(
            vm, &QemuLauncher::qmpEvent, [&, start](const QString& name, const QJsonObject& data) {
                if (name != QLatin1String("VSERPORT_CHANGE") || !data.value("open").toBool())
                    return;
                (data.value("id").toString().contains("console") ? consoleOpen : agentOpen) =
                    since(start);
            });
        // The readiness probe as the app runs it: new connection per attempt, a ping with the
        // usual 10 s call timeout (answered as soon as the agent serves), 250 ms pauses.
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            try {
                transport.connect(run(service.connectVsock(5000)));
                if (run(transport.send("ping", {}, std::chrono::seconds(10))))
                    break;
            } catch (const std::exception&) {
                run(QCoro::sleepFor(std::chrono::milliseconds(250)));
            }
        }
        pong = since(start);
        qemuCpu = cpuSeconds(service.virtualMachine()->processId());
    }
    ~VM() {
        transport.disconnect();
        run(service.stopVM());
    }
    AnyCodable call(const std::string& method, rpc::Params params,
                    std::chrono::seconds timeout = std::chrono::seconds(60)) {
        auto reply = run(transport.send(method, std::move(params), timeout));
        return reply ? *reply : AnyCodable();
    }
};

void benchBoot() {
    std::vector<double> qemu, kernel, agent, pong, cpu;
    for (int i = 0; i < runs; ++i) {
        VM vm("");
        qemu.push_back(vm.qemuReady);
        kernel.push_back(vm.consoleOpen);
        agent.push_back(vm.agentOpen);
        pong.push_back(vm.pong);
        cpu.push_back(vm.qemuCpu);
    }
    std::printf("cold boot to first pong: %.3f s (median of %d; target <= 1.5 s)\n", median(pong),
                runs);
    std::printf("  QEMU started (QMP up)          %.3f s\n", median(qemu));
    std::printf("  kernel + modules (hvc0 opened) %.3f s\n", median(kernel));
    std::printf("  agent serving (port opened)    %.3f s\n", median(agent));
    std::printf("  first pong                     %.3f s\n", median(pong));
    std::printf("  QEMU CPU time to first pong    %.3f s (the wall time on an idle host)\n",
                median(cpu));
}

bool sameContents(const QString& a, const QString& b) {
    QFile first(a), second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 20) != second.read(1 << 20))
            return false;
    }
    return second.atEnd();
}

void benchTransfer(const QTemporaryDir& dir) {
    const std::string tree = dir.filePath("transfer").toStdString();
    const std::string image = dir.filePath("transfer.img").toStdString();
    mustRun("mkdir -p '" + tree + "' && head -c " + std::to_string(fileBytes) +
            " /dev/urandom > '" + tree + "/big.bin'");
    mustRun("mkfs.ext4 -q -F -d '" + tree + "' '" + image + "' 400M");
    VM vm(image);
    vm.call("list_dir", {{"path", AnyCodable("/")}, {"partition", AnyCodable("image0")}});

    // Through FileOperationService with its default chunking, as the app moves files.
    fileops::FileOperationService files(vm.transport);
    fileops::TransferOptions options;
    options.partition = QStringLiteral("image0");
    if (const int chunk = qEnvironmentVariableIntValue("QUORVALE_BENCH_CHUNK"); chunk > 0)
        options.chunkBytes = static_cast<std::size_t>(chunk);
    const QString exported = dir.filePath("exported.bin");
    const QString source = QString::fromStdString(tree + "/big.bin");
    std::vector<double> exportRate, uploadRate, rawRate;
    for (int i = 0; i < runs; ++i) {
        QFile::remove(exported);
        auto start = Clock::now();
        run(files.exportFile(QStringLiteral("/big.bin"), exported, fileBytes, options));
        exportRate.push_back(fileBytes / 1e6 / since(start));

        start = Clock::now();
        run(files.uploadFile(source, QStringLiteral("/upload.bin"), options));
        uploadRate.push_back(fileBytes / 1e6 / since(start));

        // The same path without file work: 100 MiB as padding of "ping" lines of the same size
        // as the upload's lines, which the agent reads and answers one at a time.
        const std::string padding(rpc::base64EncodedSize(options.chunkBytes), 'x');
        start = Clock::now();
        for (std::size_t sent = 0; sent < fileBytes; sent += options.chunkBytes)
            vm.call("ping", {{"padding", AnyCodable(padding)}});
        rawRate.push_back(fileBytes / 1e6 / since(start));
    }
    if (QFileInfo(exported).size() != static_cast<qint64>(fileBytes) ||
        !sameContents(exported, source)) {
        std::fprintf(stderr, "bench_vm: the exported file differs from the original\n");
        std::exit(1);
    }
    std::printf("chunked export of 100 MiB: %.1f MB/s (target >= 80)\n", median(exportRate));
    std::printf("chunked upload of 100 MiB: %.1f MB/s (target >= 50)\n", median(uploadRate));
    std::printf("raw virtio-serial host->guest (100 MiB of ping padding): %.1f MB/s\n",
                median(rawRate));
    std::printf("(chunks of %zu KiB)\n", options.chunkBytes / 1024);
}

void benchListing(const QTemporaryDir& dir) {
    const std::string tree = dir.filePath("many").toStdString();
    const std::string image = dir.filePath("many.img").toStdString();
    mustRun("mkdir -p '" + tree + "/many' && cd '" + tree +
            "/many' && seq -f 'file-%05g.txt' 1 10000 | xargs touch");
    mustRun("mkfs.ext4 -q -F -N 20000 -d '" + tree + "' '" + image + "' 64M");
    VM vm(image);
    std::vector<double> times;
    std::size_t count = 0;
    for (int i = 0; i < runs + 1; ++i) {
        const auto start = Clock::now();
        const AnyCodable listing = vm.call(
            "list_dir", {{"path", AnyCodable("/many")}, {"partition", AnyCodable("image0")}});
        if (i > 0)  // the first call also mounts the partition
            times.push_back(since(start) * 1000);
        count = listing.arrayValue() ? listing.arrayValue()->size() : 0;
    }
    std::printf("list_dir of %zu entries: %.0f ms (target <= 300)\n", count, median(times));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(
        QStringLiteral("com.quorvale.app.*.info=false\ncom.quorvale.app.*.debug=false"));
    QTemporaryDir dir;
    const QStringList only = app.arguments().mid(1);  // any of: boot transfer list
    try {
        if (only.isEmpty() || only.contains("boot"))
            benchBoot();
        if (only.isEmpty() || only.contains("transfer"))
            benchTransfer(dir);
        if (only.isEmpty() || only.contains("list"))
            benchListing(dir);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_vm: %s\n", error.what());
        return 1;
    }
    return 0;
}
