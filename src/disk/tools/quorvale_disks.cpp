// quorvale-disks: prints the devices and partitions the application would see, as disk
// detection reports them; image paths given as arguments are opened as devices too.
//   quorvale-disks [--watch] [--verbose] [IMAGE...]
// With --watch it keeps running and prints each change as it happens.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLocale>
#include <QLoggingCategory>
#include <QTextStream>

#include <cstdio>
#include <map>

#include "disk/disk_detection_service.h"
#include "rpc/error.h"

using namespace quorvale;
using namespace quorvale::disk;

namespace {

QTextStream out(stdout);

QString sizeText(std::uint64_t bytes) {
    return QStringLiteral("%1 (%2 bytes)")
        .arg(QLocale::c().formattedDataSize(static_cast<qint64>(bytes), 1,
                                            QLocale::DataSizeSIFormat))
        .arg(bytes);
}

void printDevice(const model::Device& device, const QString& prefix = {}) {
    out << prefix << device.bsdName << "  \"" << device.name << "\"  " << sizeText(device.size)
        << "  " << model::rawValue(device.mediaType) << "\n";
    for (const model::Partition& p : device.partitions) {
        out << prefix << "    " << p.bsdName
            << "  label=" << (p.label ? "\"" + *p.label + "\"" : "-") << "  " << sizeText(p.size)
            << "  " << model::rawValue(p.filesystemType) << "\n";
    }
    out.flush();
}

// Collects what the service reports; in watch mode, prints each event once the start-up
// listing is out.
class Printer : public DiskDetectionDelegate {
public:
    QCoro::Task<void> deviceUpdated(model::Device device) override {
        devices[device.bsdName] = device;
        if (live)
            printDevice(device, QStringLiteral("updated: "));
        co_return;
    }
    QCoro::Task<void> deviceRemoved(QString bsdName) override {
        devices.erase(bsdName);
        if (live) {
            out << "removed: " << bsdName << "\n";
            out.flush();
        }
        co_return;
    }
    std::map<QString, model::Device> devices;
    bool live = false;
};

QCoro::Task<void> openImagesAndPrint(DiskDetectionService* service, Printer* printer,
                                     QStringList images, bool watch, int* exitCode) {
    for (const QString& path : images) {
        try {
            co_await service->openImage(path);
        } catch (const Error& e) {
            std::fprintf(stderr, "quorvale-disks: %s\n", e.what());
            *exitCode = 1;
        }
    }
    // Let the deliveries posted so far run before printing.
    QCoreApplication::processEvents();
    if (printer->devices.empty())
        out << "No removable disks.\n";
    for (const auto& [name, device] : printer->devices)
        printDevice(device);
    out.flush();
    if (watch)
        printer->live = true;
    else
        QCoreApplication::exit(*exitCode);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvale-disks"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints the removable disks and disk images Quorvale sees."));
    parser.addHelpOption();
    const QCommandLineOption watchOption(QStringLiteral("watch"),
                                         QStringLiteral("Keep running and print each change."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Show the detection log on stderr."));
    parser.addOption(watchOption);
    parser.addOption(verboseOption);
    parser.addPositionalArgument(QStringLiteral("image"), QStringLiteral("Disk-image files."),
                                 QStringLiteral("[IMAGE...]"));
    parser.process(app);
    if (!parser.isSet(verboseOption))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.app.*=false"));

    const bool watch = parser.isSet(watchOption);
    const QStringList images = parser.positionalArguments();
    int exitCode = 0;
    Printer printer;
    try {
        DiskDetectionService service;
        service.setDelegate(&printer);
        QObject::connect(&service, &DiskDetectionService::enumerationCompleted, &app,
                         [&] { openImagesAndPrint(&service, &printer, images, watch, &exitCode); });
        service.startMonitoring();
        return app.exec();
    } catch (const Error& e) {
        std::fprintf(stderr, "quorvale-disks: %s\n", e.what());
        return 1;
    }
}
