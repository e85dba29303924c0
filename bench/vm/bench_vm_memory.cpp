// bench_vm_memory: the application's own memory while it moves a 1 GiB file through the VM, in
// the window. MainWindow is built over the real services as the `quorvale` program builds it, a
// disk image holding the file is opened, its partition browsed, and the browser's own export
// and upload move the file out and back in. The figure is the process's peak resident set
// during each transfer (VmHWM, reset before it), median of 5, beside the idle window's resident
// set with the VM running and the same partition listed (target: at most 100 MB).
//
//   bench_vm_memory [MiB]     (default 1024)

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_settings.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "disk/privileged_helper_client.h"
#include "fileops/file_operation_service.h"
#include "fileops/transfer_memory.h"
#include "guest/host_virtualization.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "ui/browser/file_browser_view.h"
#include "ui/window/main_window.h"
#include "vm/vm_test_support.h"

namespace {

using namespace quorvale;
using Clock = std::chrono::steady_clock;

constexpr int runs = 5;

// A field of /proc/self/status in kB ("VmRSS", "VmHWM").
long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return -1;
}

// Starts a new peak: VmHWM falls back to the present resident set.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double megabytes(long kib) {
    return kib * 1024.0 / 1e6;
}

double median(std::vector<double> values) {
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
    char text[32];
    std::snprintf(text, sizeof text, "load %.2f", one);
    return text;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_vm_memory: %s\n", what.c_str());
    std::exit(1);
}

bool spinUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

// An MBR image with one Linux partition at 1 MiB holding `tree` (mkfs.ext4 -d), with room for
// an upload of `fileMiB` beside the file already there and the upload's temporary.
void makeImage(const std::string& tree, const std::string& image, long fileMiB) {
    const long partitionMiB = 3 * fileMiB + 256;
    const std::string partition = image + ".part";
    const std::string command =
        "set -e; mkfs.ext4 -q -F -L CARD -d '" + tree + "' '" + partition + "' " +
        std::to_string(partitionMiB) + "M; truncate -s 1M '" + image + "'; cat '" + partition +
        "' >> '" + image + "'; rm -f '" + partition +
        "'; printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q '" + image + "' >/dev/null";
    if (guest::testing::shell(command) != 0)
        fail("cannot make the disk image");
}

}  // namespace

int main(int argc, char** argv) {
    quorvale::fileops::shareHeapAcrossThreads();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    // Settings, audit log and state of this run stay out of the user's folders.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(home.filePath("state")));
    qputenv(guest::acceleratorVariable, "tcg");
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quorvale"));
    QApplication::setApplicationName(QStringLiteral("Quorvale"));
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.app.*.info=false"));
    const long fileMiB = argc > 1 ? std::max(1L, std::atol(argv[1])) : 1024;
    const qint64 fileBytes = static_cast<qint64>(fileMiB) << 20;

    QTemporaryDir work;
    const std::string tree = work.filePath("tree").toStdString();
    const QString image = work.filePath("card.img");
    if (guest::testing::shell("mkdir -p '" + tree + "' && head -c " + std::to_string(fileBytes) +
                              " /dev/urandom > '" + tree + "/big.bin'") != 0)
        fail("cannot write the test file");
    makeImage(tree, image.toStdString(), fileMiB);
    const QString local = QString::fromStdString(tree + "/big.bin");

    app::AppState appState;
    app::AppSettings settings;
    settings.setHasCompletedOnboarding(true);
    disk::PrivilegedHelperClient helperClient;
    app::HelperClientAccess helper(helperClient);
    guest::VMLifecycleService vmService;
    app::VMServiceControl vm(vmService);
    guest::VsockTransport transport;
    ui::MainWindow window(
        ui::WindowServices{appState, settings, helper, vm, transport,
                           std::make_unique<app::DetectionDiskSource>(&helperClient), QString()});
    window.setDetailWidgetFactory(
        [](app::AppState& state, guest::VsockTransport& link) -> QWidget* {
            return new ui::FileBrowserView(state, link);
        });
    window.show();

    window.openDiskImage(image);
    ui::FileBrowserView* browser = nullptr;
    const auto listed = [&] {
        browser = qobject_cast<ui::FileBrowserView*>(window.detailWidget());
        if (!browser || browser->viewModel()->isLoading())
            return false;
        const auto& items = browser->viewModel()->files();
        return std::any_of(items.begin(), items.end(),
                           [](const model::FileItem& item) { return item.name == "big.bin"; });
    };
    if (!spinUntil(listed, std::chrono::seconds(180)))
        fail("the card's partition was not listed within 180 s");
    model::FileItem big;
    for (const model::FileItem& item : browser->viewModel()->files())
        if (item.name == QLatin1String("big.bin"))
            big = item;
    // Settle: the listing's tiles and thumbnails are drawn, nothing else runs.
    spinUntil([] { return false; }, std::chrono::seconds(2));
    const double idle = megabytes(statusKiB("VmRSS"));

    const auto await = [&](QCoro::Task<void> task) {
        bool finished = false;
        std::exception_ptr error;
        auto wrapper = [](QCoro::Task<void> inner, bool& finished,
                          std::exception_ptr& error) -> QCoro::Task<void> {
            try {
                co_await std::move(inner);
            } catch (...) {
                error = std::current_exception();
            }
            finished = true;
        };
        auto running = wrapper(std::move(task), finished, error);
        if (!spinUntil([&] { return finished; }, std::chrono::seconds(600)))
            fail("a transfer did not finish within 600 s");
        if (error)
            std::rethrow_exception(error);
    };

    fileops::FileOperationService files(transport);
    const QString exportDir = work.filePath("exported");
    const QString uploadName = QStringLiteral("upload.bin");
    std::vector<double> exportPeak, uploadPeak, exportRate, uploadRate;
    try {
        for (int i = 0; i < runs; ++i) {
            QDir(exportDir).removeRecursively();
            QDir().mkpath(exportDir);
            resetPeak();
            auto start = Clock::now();
            await(browser->exportTo({big}, exportDir));
            exportRate.push_back(fileBytes / 1e6 /
                                 std::chrono::duration<double>(Clock::now() - start).count());
            exportPeak.push_back(megabytes(statusKiB("VmHWM")));
            if (QFileInfo(exportDir + "/big.bin").size() != fileBytes)
                fail("the export is incomplete");

            const QString source = work.filePath(uploadName);
            QFile::remove(source);
            if (!QFile::rename(exportDir + "/big.bin", source))
                fail("cannot stage the upload");
            resetPeak();
            start = Clock::now();
            await(browser->upload({source}));
            uploadRate.push_back(fileBytes / 1e6 /
                                 std::chrono::duration<double>(Clock::now() - start).count());
            uploadPeak.push_back(megabytes(statusKiB("VmHWM")));
            const auto partition = appState.selectedPartition();
            std::optional<QString> partitionName;
            if (partition)
                partitionName = partition->bsdName;
            await(files.deletePaths(QStringList{QLatin1Char('/') + uploadName}, partitionName));
            QFile::remove(source);
        }
    } catch (const std::exception& error) {
        fail(error.what());
    }

    std::printf("the window's resident set, %ld MiB through the VM under TCG (median of %d; %s):\n",
                fileMiB, runs, load().c_str());
    std::printf("  idle, partition listed (baseline)  %6.1f MB\n", idle);
    std::printf("  peak while exporting               %6.1f MB (target <= 100; %.1f MB/s)\n",
                median(exportPeak), median(exportRate));
    std::printf("  peak while uploading               %6.1f MB (target <= 100; %.1f MB/s)\n",
                median(uploadPeak), median(uploadRate));
    return 0;
}
