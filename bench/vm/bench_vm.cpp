// bench_vm: the guest VM's speed. Every figure is the median of 5 runs in this program run, with
// its baselines from the same run and the load average of the machine beside it.
//
//   boot      cold boot to the first "pong" under TCG, with its phases (QEMU start, kernel up to
//             the console port, agent serving, first pong), against the same boot with the fixed
//             kernel command line alone and, when the image ships a kernel built for the VM,
//             with Debian's cloud kernel (fixed line; line with boot parameters)
//   kvm       the same boot under KVM, or a note that it was skipped (no usable /dev/kvm)
//   transfer  chunked export and upload of a 100 MiB file through FileOperationService, beside
//             the raw link in each direction: ping lines padded like upload chunks (host to
//             guest) and chunks read from a sparse file, which costs the guest no disk reads
//             (guest to host)
//   list      list_dir of a 10,000-entry directory
//
// Arguments choose sections (default: all). $QUORVALE_RESOURCES_DIR replaces the build tree's
// image, as for the application.

#include <fcntl.h>
#include <unistd.h>

#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>
#include <QCoreApplication>
#include <QDir>
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
#include "guest/host_virtualization.h"
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
constexpr const char* fixedCommandLine = "console=hvc0 quiet random.trust_cpu=on";

// The image under test: the build tree's, unless the application's override names another.
QString shippedResources() {
    return qEnvironmentVariable(VMResources::overrideVariable, QUORVALE_BENCH_SHARE_DIR);
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

// The 1-minute load average, to print beside each figure.
std::string load() {
    double one = 0;
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &one) != 1)
            one = -1;
        std::fclose(file);
    }
    char text[32];
    std::snprintf(text, sizeof text, "load %.2f", one);
    return text;
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

// Chooses the accelerator of the VMs started while it lives.
class Accelerator {
public:
    explicit Accelerator(bool tcg) {
        if (tcg)
            qputenv(acceleratorVariable, "tcg");
        else
            qunsetenv(acceleratorVariable);
    }
    ~Accelerator() { qunsetenv(acceleratorVariable); }
};

struct VM {
    VMLifecycleService service;
    VsockTransport transport;
    // Seconds from the start of bootVM.
    double qemuReady = 0, consoleOpen = 0, agentOpen = 0, pong = 0;
    double qemuCpu = 0;  // CPU seconds QEMU used up to the first pong (independent of load)

    explicit VM(const std::string& image, const QString& resources = shippedResources(),
                const QString& commandLine = {})
        : service(VMResources(resources)) {
        service.kernelCommandLine = commandLine;
        std::vector<VMDisk> disks;
        if (!image.empty())
            disks.push_back(
                {QStringLiteral("image0"), UniqueFd(::open(image.c_str(), O_RDWR | O_CLOEXEC))});
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
        bool answered = false;
        while (!answered && Clock::now() < deadline) {
            try {
                transport.connect(run(service.connectVsock(5000)));
                answered = run(transport.send("ping", {}, std::chrono::seconds(10))).has_value();
            } catch (const std::exception&) {
                run(QCoro::sleepFor(std::chrono::milliseconds(250)));
            }
        }
        if (!answered) {
            std::fprintf(stderr, "bench_vm: the agent did not answer within 60 s\n");
            std::exit(1);
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

struct BootFigures {
    std::vector<double> qemu, console, agent, pong, cpu;
};

BootFigures boot(const QString& resources, const QString& commandLine) {
    BootFigures figures;
    for (int i = 0; i < runs; ++i) {
        VM vm("", resources, commandLine);
        figures.qemu.push_back(vm.qemuReady);
        figures.console.push_back(vm.consoleOpen);
        figures.agent.push_back(vm.agentOpen);
        figures.pong.push_back(vm.pong);
        figures.cpu.push_back(vm.qemuCpu);
    }
    return figures;
}

void printBoot(const char* title, const BootFigures& figures, const char* target) {
    std::printf("%s: %.3f s (median of %d; %s; %s)\n", title, median(figures.pong), runs, target,
                load().c_str());
    std::printf("  QEMU started (QMP up)           %.3f s\n", median(figures.qemu));
    std::printf("  kernel up to the console port   %.3f s\n", median(figures.console));
    std::printf("  agent serving (its port opened) %.3f s\n", median(figures.agent));
    std::printf("  first pong                      %.3f s\n", median(figures.pong));
    std::printf("  QEMU CPU time to the first pong %.3f s (about the wall time on an idle host)\n",
                median(figures.cpu));
    std::fflush(stdout);
}

void printBaseline(const char* title, const BootFigures& figures) {
    std::printf("  baseline: %-44s %.3f s (CPU %.3f s; %s)\n", title, median(figures.pong),
                median(figures.cpu), load().c_str());
    std::fflush(stdout);
}

void benchBoot() {
    const Accelerator tcg(true);
    const QString shipped = shippedResources();
    const QString parameters;  // the application's default
    printBoot("cold boot to the first pong under TCG", boot(shipped, parameters),
              "target <= 1.0 s");
    // Each remedy alone, and where this started.
    printBaseline("shipped kernel, fixed command line", boot(shipped, fixedCommandLine));
    const QString cloud = QStringLiteral(QUORVALE_BENCH_CLOUD_SHARE_DIR);
    if (!cloud.isEmpty() && VMResources(cloud).kernel()) {
        printBaseline("cloud kernel, boot parameters", boot(cloud, parameters));
        printBaseline("cloud kernel, fixed command line", boot(cloud, fixedCommandLine));
    } else {
        std::printf(
            "  baseline: cloud kernel: no image (built with bench_vm when the network "
            "allows)\n");
    }
}

void benchKvm() {
    if (!kvmUsable()) {
        std::printf("cold boot to the first pong under KVM: skipped (no usable /dev/kvm)\n");
        return;
    }
    const Accelerator kvm(false);
    printBoot("cold boot to the first pong under KVM", boot(shippedResources(), {}),
              "target <= 0.3 s");
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
    const Accelerator tcg(true);
    const std::string tree = dir.filePath("transfer").toStdString();
    const std::string image = dir.filePath("transfer.img").toStdString();
    mustRun("mkdir -p '" + tree + "' && head -c " + std::to_string(fileBytes) +
            " /dev/urandom > '" + tree + "/big.bin' && truncate -s " + std::to_string(fileBytes) +
            " '" + tree + "/sparse.bin'");
    mustRun("mkfs.ext4 -q -F -d '" + tree + "' '" + image + "' 400M");
    VM vm(image);
    vm.call("list_dir", {{"path", AnyCodable("/")}, {"partition", AnyCodable("image0")}});

    // Through FileOperationService with its default chunking, as the app moves files.
    fileops::FileOperationService files(vm.transport);
    fileops::TransferOptions options;
    options.partition = QStringLiteral("image0");
    options.replace = true;  // each run writes over the last run's upload
    if (const int chunk = qEnvironmentVariableIntValue("QUORVALE_BENCH_CHUNK"); chunk > 0)
        options.chunkBytes = static_cast<std::size_t>(chunk);
    const QString exported = dir.filePath("exported.bin");
    const QString source = QString::fromStdString(tree + "/big.bin");
    std::vector<double> exportRate, uploadRate, toGuest, fromGuest;
    for (int i = 0; i < runs; ++i) {
        QFile::remove(exported);
        auto start = Clock::now();
        run(files.exportFile(QStringLiteral("/big.bin"), exported, fileBytes, options));
        exportRate.push_back(fileBytes / 1e6 / since(start));

        start = Clock::now();
        run(files.uploadFile(source, QStringLiteral("/upload.bin"), options));
        uploadRate.push_back(fileBytes / 1e6 / since(start));

        // The link without file work, host to guest: 100 MiB as padding of "ping" lines of
        // the upload's line size, which the agent reads and answers one at a time.
        const std::string padding(rpc::base64EncodedSize(options.chunkBytes), 'x');
        start = Clock::now();
        for (std::size_t sent = 0; sent < fileBytes; sent += options.chunkBytes)
            vm.call("ping", {{"padding", AnyCodable(padding)}});
        toGuest.push_back(fileBytes / 1e6 / since(start));

        // Guest to host: the same chunked export from a file that is one hole.
        const QString sparseCopy = dir.filePath("sparse-copy.bin");
        QFile::remove(sparseCopy);
        start = Clock::now();
        run(files.exportFile(QStringLiteral("/sparse.bin"), sparseCopy, fileBytes, options));
        fromGuest.push_back(fileBytes / 1e6 / since(start));
        QFile::remove(sparseCopy);
    }
    if (QFileInfo(exported).size() != static_cast<qint64>(fileBytes) ||
        !sameContents(exported, source)) {
        std::fprintf(stderr, "bench_vm: the exported file differs from the original\n");
        std::exit(1);
    }
    std::printf(
        "chunked export of 100 MiB under TCG: %.1f MB/s (target >= 110; raw link guest "
        "to host %.1f MB/s; %s)\n",
        median(exportRate), median(fromGuest), load().c_str());
    std::printf(
        "chunked upload of 100 MiB under TCG: %.1f MB/s (target >= 70; raw link host to "
        "guest %.1f MB/s; %s)\n",
        median(uploadRate), median(toGuest), load().c_str());
    std::printf("  (chunks of %zu KiB; raw link: the same calls without disk work)\n",
                options.chunkBytes / 1024);
}

void benchListing(const QTemporaryDir& dir) {
    const Accelerator tcg(true);
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
    std::printf("list_dir of %zu entries under TCG: %.0f ms (target <= 300; %s)\n", count,
                median(times), load().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(
        QStringLiteral("com.quorvale.app.*.info=false\ncom.quorvale.app.*.debug=false"));
    QTemporaryDir dir;
    const QStringList only = app.arguments().mid(1);  // any of: boot kvm transfer list
    const auto wanted = [&](const char* section) {
        return only.isEmpty() || only.contains(QLatin1String(section));
    };
    try {
        if (wanted("boot"))
            benchBoot();
        if (wanted("kvm"))
            benchKvm();
        if (wanted("transfer"))
            benchTransfer(dir);
        if (wanted("list"))
            benchListing(dir);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_vm: %s\n", error.what());
        return 1;
    }
    return 0;
}
