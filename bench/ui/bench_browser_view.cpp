// The file browser with 100,000 entries listed by the real agent: the listing's arrival (model
// reset), scrolling the grid and the list through, sorting by size, selecting all and clearing.
// A 2 ms heartbeat timer records the longest gap of the event loop in each phase; the figure
// to watch is that stall (target: under 100 ms). Prints one line per phase.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>

#include "app/core/app_state.h"
#include "app_test_support.h"
#include "guest/vsock_transport.h"
#include "host_agent.h"
#include "ui/browser/file_browser_view.h"
#include "ui/browser/file_list_view.h"

using namespace quorvale;

namespace {

// Longest gap between heartbeats while a phase runs.
class StallMeter {
public:
    StallMeter() {
        timer.setInterval(2);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
    }
    void begin() {
        clock.start();
        last = 0;
        longest = 0;
        timer.start();
    }
    // Stops and returns {elapsed ms, longest stall ms}.
    std::pair<double, double> end() {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        timer.stop();
        return {now / 1e6, longest / 1e6};
    }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
};

void report(const char* phase, std::pair<double, double> figures) {
    std::printf("%-28s %9.1f ms total   longest stall %7.1f ms\n", phase, figures.first,
                figures.second);
    std::fflush(stdout);
}

void scrollThrough(QAbstractScrollArea* view) {
    QScrollBar* bar = view->verticalScrollBar();
    const int step = std::max(1, bar->pageStep() * 4);
    for (int value = 0; value <= bar->maximum(); value += step) {
        bar->setValue(value);
        QCoreApplication::processEvents();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QUORVALE_BUILD_DIR"))
        qputenv("QUORVALE_BUILD_DIR", QUORVALE_DEFAULT_BUILD_DIR);
    QApplication application(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;

    testing::HostAgent agent;
    for (int i = 0; i < count; ++i) {
        QFile file(agent.rootPath(QStringLiteral("file-%1.dat").arg(i, 6, 10, QLatin1Char('0'))));
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray(i % 97, 'x'));
    }
    guest::VsockTransport transport;
    agent.connect(transport);
    app::AppState appState;
    model::Partition partition;
    partition.bsdName = QStringLiteral("sdb2");
    partition.filesystemType = model::FilesystemType::ext4;
    appState.setVmStatus(guest::VMStatus::running());
    appState.setSelectedPartition(partition);

    StallMeter meter;
    ui::FileBrowserView view(appState, transport);
    view.resize(1100, 700);
    view.show();
    meter.begin();
    testing::spinUntil([&] { return !view.viewModel()->isLoading(); }, std::chrono::minutes(5));
    QCoreApplication::processEvents();
    const auto listing = meter.end();
    std::printf("%d entries listed\n", int(view.viewModel()->files().size()));
    report("listing + model reset", listing);
    if (view.viewModel()->files().isEmpty()) {
        std::printf("listing failed: %s\n",
                    qPrintable(view.viewModel()->error().value_or(QStringLiteral("(no error)"))));
        return 1;
    }

    meter.begin();
    scrollThrough(view.grid());
    report("scroll grid", meter.end());

    appState.setViewMode(app::ViewMode::list);
    meter.begin();
    QCoreApplication::processEvents();
    scrollThrough(view.list());
    report("switch to list + scroll", meter.end());

    meter.begin();
    const auto before = view.viewModel()->files().constFirst().id;
    view.viewModel()->setSortOrder(app::SortOrder::size);
    view.viewModel()->setSortAscending(false);
    testing::spinUntil([&] { return view.viewModel()->files().constFirst().id != before; },
                       std::chrono::minutes(1));
    QCoreApplication::processEvents();
    report("sort by size (descending)", meter.end());

    meter.begin();
    view.viewModel()->selectAll();
    QCoreApplication::processEvents();
    view.viewModel()->setSelectedFiles({});
    QCoreApplication::processEvents();
    report("select all + clear", meter.end());
    return 0;
}
