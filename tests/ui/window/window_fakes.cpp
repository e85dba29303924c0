#include "window_fakes.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>
#include <qcoro/qcorotimer.h>
#include <boost/json.hpp>

#include "app/core/service_adapters.h"
#include "guest/vm_error.h"

namespace quorvale::test {

ScriptedGuest::ScriptedGuest(UniqueFd stream) : fd(std::move(stream)) {
    // A healthy card: it mounts read-write and checks clean.
    results[QStringLiteral("mount_partition")] = R"({"read_only":false})";
    results[QStringLiteral("check_filesystem")] = R"({"started":true})";
    results[QStringLiteral("check_status")] =
        R"({"state":"finished","pass":5,"percent":100,"exit_code":0,"output":""})";
    notifier = std::make_unique<QSocketNotifier>(fd.get(), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { readable(); });
}

void ScriptedGuest::readable() {
    char chunk[4096];
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got <= 0) {
        notifier->setEnabled(false);
        return;
    }
    buffer.append(chunk, got);
    qsizetype newline;
    while ((newline = buffer.indexOf('\n')) >= 0) {
        const QByteArray line = buffer.left(newline);
        buffer.remove(0, newline + 1);
        const boost::json::object request = boost::json::parse(line.toStdString()).as_object();
        const QString method =
            QString::fromStdString(std::string(request.at("method").as_string()));
        methods << method;
        requests << line;
        QByteArray result = results.value(method, QByteArrayLiteral("true"));
        if (method == QLatin1String("ping") && !results.contains(method))
            result = QByteArrayLiteral("\"pong\"");
        const QByteArray body = errors.contains(method)
                                    ? QByteArrayLiteral("\"error\":{\"code\":-2,\"message\":\"") +
                                          errors.value(method).toUtf8() + QByteArrayLiteral("\"}")
                                    : QByteArrayLiteral("\"result\":") + result;
        const QByteArray reply = QByteArrayLiteral("{\"jsonrpc\":\"2.0\",\"id\":") +
                                 QByteArray::number(request.at("id").as_int64()) +
                                 QByteArrayLiteral(",") + body + QByteArrayLiteral("}\n");
        [[maybe_unused]] const auto written = ::write(fd.get(), reply.constData(), reply.size());
    }
}

namespace {

std::pair<UniqueFd, UniqueFd> socketPair() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error("socketpair failed");
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

}  // namespace

std::unique_ptr<ScriptedGuest> connectScriptedGuest(guest::VsockTransport& transport) {
    auto [near, far] = socketPair();
    transport.connect(std::move(near));
    return std::make_unique<ScriptedGuest>(std::move(far));
}

QCoro::Task<UniqueFd> FakeHelper::openDisk(QString bsdName, bool) {
    opened << bsdName;
    if (delay.count() > 0)
        co_await QCoro::sleepFor(delay);
    if (failure)
        throw *failure;
    co_return UniqueFd(::open("/dev/null", O_RDWR | O_CLOEXEC));
}

QCoro::Task<UniqueFd> FakeHelper::openHeldDisk(QString bsdName, int) {
    opened << bsdName;
    if (failure)
        throw *failure;
    co_return UniqueFd(::open("/dev/null", O_RDWR | O_CLOEXEC));
}

QCoro::Task<void> FakeHelper::installHelper() {
    ++installs;
    co_await QCoro::sleepFor(std::chrono::milliseconds(5));
    if (installFails)
        throw disk::HelperError(disk::HelperError::Kind::requiresApproval);
}

QCoro::Task<bool> FakeHelper::checkHelper() {
    ++checks;
    co_return false;
}

QCoro::Task<void> FakeHelper::grantAccess() {
    ++grants;
    co_await QCoro::sleepFor(std::chrono::milliseconds(5));
    if (grantFailure)
        throw Error(*grantFailure);
}

QCoro::Task<void> FakeVM::bootVM(std::vector<guest::VMDisk> diskHandles) {
    ++boots;
    QStringList names;
    stagedDisks.clear();
    for (const auto& disk : diskHandles) {
        names << disk.name;
        if (disk.overlay && (::fcntl(disk.fd.get(), F_GETFL) & O_ACCMODE) == O_RDONLY)
            stagedDisks << disk.name;
    }
    co_await QCoro::sleepFor(bootDelay);
    running = true;
    disks = names;
}

QCoro::Task<void> FakeVM::attachDisk(guest::VMDisk disk) {
    if (!running)
        throw guest::VMError(guest::VMError::Kind::vmNotRunning);
    disks << disk.name;
    stagedDisks.removeAll(disk.name);
    if (disk.overlay && (::fcntl(disk.fd.get(), F_GETFL) & O_ACCMODE) == O_RDONLY)
        stagedDisks << disk.name;
    co_return;
}

QCoro::Task<void> FakeVM::commitOverlay(QString name, UniqueFd writable,
                                        std::function<void(quint64, quint64)> progress) {
    commits << name;
    commitAccess.push_back(::fcntl(writable.get(), F_GETFL) & O_ACCMODE);
    constexpr quint64 total = 4 * 1024 * 1024;
    progress(total / 2, total);
    co_await QCoro::sleepFor(std::chrono::milliseconds(20));
    progress(total, total);
    stagedDisks.removeAll(name);
}

QCoro::Task<void> FakeVM::detachDisk(QString name) {
    disks.removeAll(name);
    co_return;
}

QCoro::Task<void> FakeVM::stopVM() {
    ++stops;
    abortVM();
    co_return;
}

void FakeVM::crash(const QString& cause) {
    abortVM();
    if (onUnexpectedStop)
        onUnexpectedStop(cause);
}

void FakeVM::abortVM() {
    running = false;
    disks.clear();
}

QCoro::Task<UniqueFd> FakeVM::connectVsock(std::uint32_t) {
    if (!running)
        throw guest::VMError(guest::VMError::Kind::vmNotRunning);
    auto [near, far] = socketPair();
    guests.push_back(std::make_unique<ScriptedGuest>(std::move(far)));
    for (auto it = guestResults.begin(); it != guestResults.end(); ++it)
        guests.back()->results.insert(it.key(), it.value());
    co_return std::move(near);
}

WindowHarness::WindowHarness(Onboarding onboarding) {
    qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toUtf8());
    settings = std::make_unique<app::AppSettings>(std::make_unique<QSettings>(
        dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    settings->setHasCompletedOnboarding(onboarding == Onboarding::done);
    window = std::make_unique<ui::MainWindow>(
        ui::WindowServices{appState, *settings, helper, vm, transport,
                           std::make_unique<app::DetectionDiskSource>(nullptr),
                           QStringLiteral("/usr/libexec/quorvale/quorvale-helper")});
}

WindowHarness::~WindowHarness() {
    window.reset();
    transport.disconnect();
}

void WindowHarness::show() {
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
}

bool WindowHarness::waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

model::Device makeDevice(const QList<model::FilesystemType>& filesystems) {
    model::Device device;
    device.id = device.bsdName = QStringLiteral("sdb");
    device.name = QStringLiteral("Generic SD Reader");
    device.mediaType = model::MediaType::sdCard;
    device.size = 32'000'000'000ULL;
    int number = 1;
    for (model::FilesystemType type : filesystems) {
        model::Partition partition;
        partition.id = partition.bsdName = QStringLiteral("sdb%1").arg(number++);
        partition.filesystemType = type;
        partition.size = device.size / static_cast<std::uint64_t>(filesystems.size());
        device.partitions.append(partition);
    }
    return device;
}

QString makeExt4Image(const QString& directory) {
    const QString content = QDir(directory).filePath(QStringLiteral("content"));
    QDir().mkpath(content + QStringLiteral("/Documents"));
    QFile readme(content + QStringLiteral("/README.txt"));
    readme.open(QIODevice::WriteOnly);
    readme.write("Hello from the card.\n");
    readme.close();
    const QString image = QDir(directory).filePath(QStringLiteral("sdcard.img"));
    QProcess mkfs;
    mkfs.start(
        QStringLiteral("mkfs.ext4"),
        {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-L"), QStringLiteral("SAMPLE"),
         QStringLiteral("-d"), content, image, QStringLiteral("32M")});
    mkfs.waitForFinished();
    EXPECT_EQ(mkfs.exitCode(), 0) << mkfs.readAllStandardError().toStdString();
    return image;
}

}  // namespace quorvale::test
