// quorvale-fault-road: the application's own road, as the window wires it (disk image -> device
// list -> auto-selected partition -> mount -> browser -> eject), for the fault tests. It runs
// in its own process so that a crash or a hang of the host is seen from outside and costs one
// card, not the whole test.
//
//   quorvale-fault-road [--ready-timeout S] walk IMAGE...
//       For each card in turn, in one application: open, mount, list every folder and read
//       every file (as the preview does), eject.
//   quorvale-fault-road [--ready-timeout S] [--linger MS] op IMAGE OPERATION ARGS...
//       Mount, then one operation: upload LOCAL REMOTE | rename PATH NEW_NAME | delete PATH |
//       duplicate PATH DEST | mkdir PATH. "done" is printed the moment the app has it
//       acknowledged, before anything else (the crash harness kills the VM at any moment);
//       the VM then runs on for MS milliseconds before the eject.
//
// Every step prints one tab-separated line on stdout: the step, its subject, "ok" or "error",
// its duration in milliseconds and, for errors, the message the user is shown. Banners are
// printed as they appear ("banner\tTEXT"); "ejecting\tDISK" starts the eject and
// "vm\tSTATE\tDESCRIPTION" ends each card.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <cstdio>
#include <deque>
#include <memory>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "disk/disk_detection_service.h"
#include "disk/privileged_helper_client.h"
#include "fileops/file_operation_service.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"

namespace {

using namespace quorvale;
using namespace std::chrono_literals;

// One line per event, flushed at once: the reader may kill the VM right after "done".
void emitLine(const QStringList& fields) {
    QString line = fields.join(QLatin1Char('\t'));
    line.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QString text(const std::exception& error) {
    return QString::fromUtf8(error.what());
}

// Ends the process with a "hang" line when one step outlives its limit.
class Watchdog {
public:
    void arm(const QString& step, std::chrono::seconds limit) {
        timer.disconnect();
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [step] {
            emitLine({QStringLiteral("hang"), step});
            std::_Exit(3);
        });
        timer.start(limit);
    }
    void disarm() { timer.stop(); }

private:
    QTimer timer;
};

class Road {
public:
    Road() {
        state.setScheduler([](auto, auto) {});  // banners stay until the next one
        auto source = std::make_unique<app::DetectionDiskSource>(&helperClient);
        disks = source.get();
        devices = std::make_unique<app::DeviceListViewModel>(helper, vm, transport, &state,
                                                             std::move(source));
        QObject::connect(&state, &app::AppState::errorMessageChanged, [this] {
            if (state.errorMessage())
                emitLine({QStringLiteral("banner"), *state.errorMessage()});
        });
        QObject::connect(devices.get(), &app::DeviceListViewModel::mountFinished,
                         [this] { ++mountsFinished; });
    }

    std::chrono::milliseconds readyTimeout = 120s;
    // How long the VM is left running after an operation, before the eject.
    std::chrono::milliseconds linger = 0ms;

    // Opens the card and waits for its mount; returns the mounted partition, if any.
    QCoro::Task<std::optional<model::Partition>> mount(QString image,
                                                       std::optional<model::Device>& card) {
        QElapsedTimer clock;
        clock.start();
        watchdog.arm(QStringLiteral("open ") + image, 60s);
        std::optional<QString> failure;
        try {
            card = co_await disks->service().openImage(image);
        } catch (const std::exception& error) {
            failure = text(error);
        }
        if (failure) {
            emitLine({QStringLiteral("open"), image, QStringLiteral("error"),
                      QString::number(clock.elapsed()), *failure});
            co_return std::nullopt;
        }
        emitLine({QStringLiteral("open"), image, QStringLiteral("ok"),
                  QString::number(clock.elapsed()), QString::number(card->partitions.size())});
        // The list reports the device through the event loop and mounts its first ext4
        // partition; with none, the user picks the first partition, as a click would.
        const int before = mountsFinished;
        co_await QCoro::sleepFor(50ms);
        if (!state.selectedPartition()) {
            if (card->partitions.isEmpty()) {
                emitLine({QStringLiteral("mount"), image, QStringLiteral("error"),
                          QString::number(clock.elapsed()), QStringLiteral("no partition")});
                co_return std::nullopt;
            }
            state.setSelectedPartition(card->partitions.first());
            devices->mount(card->partitions.first());
        }
        watchdog.arm(QStringLiteral("mount ") + image,
                     std::chrono::duration_cast<std::chrono::seconds>(readyTimeout) + 60s);
        while (mountsFinished == before && state.isBootingVM())
            co_await QCoro::sleepFor(20ms);
        const auto status = state.vmStatus();
        if (status.state != guest::VMStatus::State::running) {
            emitLine({QStringLiteral("mount"), image, QStringLiteral("error"),
                      QString::number(clock.elapsed()),
                      state.errorMessage().value_or(status.description)});
            co_return std::nullopt;
        }
        emitLine({QStringLiteral("mount"), image, QStringLiteral("ok"),
                  QString::number(clock.elapsed())});
        browser.fileOpService = devices->fileOpService();
        browser.currentPartition = state.selectedPartition()->bsdName;
        co_return state.selectedPartition();
    }

    // Lists every folder (breadth first, at most `maxFolders`) and reads the start of the first
    // `filesPerFolder` regular files of each, as the browser and the preview do.
    QCoro::Task<void> walk(int maxFolders = 30, int filesPerFolder = 4) {
        std::deque<QString> folders{QStringLiteral("/")};
        int listed = 0;
        while (!folders.empty() && listed < maxFolders) {
            const QString folder = folders.front();
            folders.pop_front();
            ++listed;
            QElapsedTimer clock;
            clock.start();
            watchdog.arm(QStringLiteral("list ") + folder, 120s);
            co_await browser.navigateTo(folder);
            if (browser.error()) {
                emitLine({QStringLiteral("list"), folder, QStringLiteral("error"),
                          QString::number(clock.elapsed()), *browser.error()});
                continue;
            }
            const QList<model::FileItem> items = browser.files();
            int read = 0;
            QStringList names;
            for (const model::FileItem& item : items)
                names << item.name;
            emitLine({QStringLiteral("list"), folder, QStringLiteral("ok"),
                      QString::number(clock.elapsed()), names.join(QLatin1Char('/'))});
            for (const model::FileItem& item : items) {
                const QString path = (folder == QLatin1String("/") ? QString() : folder) +
                                     QLatin1Char('/') + item.name;
                if (item.isDirectory && !item.isSymlink) {
                    folders.push_back(path);
                    continue;
                }
                if (item.isSymlink || read >= filesPerFolder)
                    continue;
                ++read;
                co_await readStart(path);
            }
        }
    }

    QCoro::Task<void> readStart(QString path) {
        QElapsedTimer clock;
        clock.start();
        watchdog.arm(QStringLiteral("read ") + path, 120s);
        QString outcome;
        bool failed = false;
        try {
            const QByteArray bytes =
                co_await browser.fileOpService->readFile(path, 4 << 20, browser.currentPartition);
            outcome = QString::number(bytes.size());
        } catch (const std::exception& error) {
            outcome = text(error);
            failed = true;
        }
        emitLine({QStringLiteral("read"), path, QLatin1String(failed ? "error" : "ok"),
                  QString::number(clock.elapsed()), outcome});
    }

    QCoro::Task<void> eject(model::Device card) {
        QElapsedTimer clock;
        clock.start();
        watchdog.arm(QStringLiteral("eject ") + card.bsdName, 180s);
        emitLine({QStringLiteral("ejecting"), card.bsdName});
        co_await devices->ejectDevice(card);
        emitLine({QStringLiteral("eject"), card.bsdName, QStringLiteral("ok"),
                  QString::number(clock.elapsed())});
        // The list forgets the card once the detach is reported.
        for (int i = 0; i < 100 && !devices->devices().isEmpty(); ++i)
            co_await QCoro::sleepFor(20ms);
        if (!devices->devices().isEmpty() || state.selectedPartition())
            emitLine({QStringLiteral("eject"), card.bsdName, QStringLiteral("error"),
                      QString::number(clock.elapsed()), QStringLiteral("card still listed")});
        watchdog.disarm();
    }

    void reportVM() {
        const auto status = state.vmStatus();
        static const char* const names[] = {"stopped", "booting", "running", "error"};
        emitLine(
            {QStringLiteral("vm"), QLatin1String(names[int(status.state)]), status.description});
    }

    // The operation, acknowledged with "done" the moment its call returns.
    QCoro::Task<void> operate(QStringList args) {
        const QString operation = args.value(0);
        const auto partition = browser.currentPartition;
        auto service = browser.fileOpService;
        QElapsedTimer clock;
        clock.start();
        watchdog.arm(QString::fromLatin1("op ") + operation, 600s);
        std::optional<QString> failure;
        try {
            if (operation == QLatin1String("upload")) {
                fileops::TransferOptions options;
                options.partition = partition;
                co_await service->uploadFile(args.value(1), args.value(2), options);
            } else if (operation == QLatin1String("rename")) {
                co_await service->rename(args.value(1), args.value(2), partition);
            } else if (operation == QLatin1String("delete")) {
                const QStringList paths(args.value(1));  // g++ 12: no braced temporaries here
                co_await service->deletePaths(paths, partition);
            } else if (operation == QLatin1String("duplicate")) {
                co_await service->copy(args.value(1), args.value(2), partition);
            } else if (operation == QLatin1String("mkdir")) {
                co_await service->createDirectory(args.value(1), partition);
            } else {
                throw std::invalid_argument("unknown operation");
            }
        } catch (const std::exception& error) {
            failure = text(error);
        }
        emitLine({QString::fromLatin1("done"), operation, QLatin1String(failure ? "error" : "ok"),
                  QString::number(clock.elapsed()), failure.value_or(QString())});
    }

    app::AppState state;
    disk::PrivilegedHelperClient helperClient;
    app::HelperClientAccess helper{helperClient};
    guest::VMLifecycleService vmService;
    app::VMServiceControl vm{vmService};
    guest::VsockTransport transport;
    app::DetectionDiskSource* disks = nullptr;
    std::unique_ptr<app::DeviceListViewModel> devices;
    app::FileBrowserViewModel browser;
    Watchdog watchdog;
    int mountsFinished = 0;
};

QCoro::Task<void> walkCards(Road& road, QStringList images) {
    for (const QString& image : images) {
        emitLine({QStringLiteral("card"), image});
        std::optional<model::Device> card;
        if (co_await road.mount(image, card))
            co_await road.walk();
        if (card)
            co_await road.eject(*card);
        road.reportVM();
        road.state.setSelectedPartition(std::nullopt);
    }
    emitLine({QStringLiteral("end")});
    QCoreApplication::exit(0);
}

QCoro::Task<void> operateOnCard(Road& road, QString image, QStringList args) {
    emitLine({QStringLiteral("card"), image});
    std::optional<model::Device> card;
    if (co_await road.mount(image, card)) {
        emitLine({QStringLiteral("ready")});
        co_await road.operate(args);
        co_await QCoro::sleepFor(road.linger);
    }
    if (card)
        co_await road.eject(*card);
    road.reportVM();
    emitLine({QStringLiteral("end")});
    QCoreApplication::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QStringList args = application.arguments().mid(1);
    Road road;
    while (args.size() >= 2 && args[0].startsWith(QLatin1String("--"))) {
        if (args[0] == QLatin1String("--ready-timeout"))
            road.readyTimeout = std::chrono::seconds(args[1].toInt());
        else if (args[0] == QLatin1String("--linger"))
            road.linger = std::chrono::milliseconds(args[1].toInt());
        else
            break;
        args = args.mid(2);
    }
    road.devices->readyTimeout = road.readyTimeout;
    if (args.size() >= 2 && args[0] == QLatin1String("walk")) {
        QTimer::singleShot(0, [&] { walkCards(road, args.mid(1)); });
    } else if (args.size() >= 3 && args[0] == QLatin1String("op")) {
        QTimer::singleShot(0, [&] { operateOnCard(road, args[1], args.mid(2)); });
    } else {
        std::fputs(
            "usage: quorvale-fault-road [--ready-timeout S] [--linger MS] walk IMAGE... | op IMAGE "
            "OPERATION ARGS...\n",
            stderr);
        return 2;
    }
    return application.exec();
}
