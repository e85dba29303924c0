#include "vm_test_support.h"

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <qcoro/qcorotimer.h>
#include <QMutex>
#include <QThread>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace quorvale::guest::testing {

namespace {

QMutex logMutex;
QStringList captured;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (context.category &&
        QLatin1String(context.category) == QLatin1String("com.quorvale.app.VM")) {
        QMutexLocker lock(&logMutex);
        captured << message;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

}  // namespace

void ensureApplication() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "vm-test";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

namespace {

// The application object exists before any test creates a QObject.
class ApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureApplication(); }
};

[[maybe_unused]] auto* const applicationEnvironment =
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

}  // namespace

LogCapture::LogCapture() {
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.app.VM.info=true"));
    QMutexLocker lock(&logMutex);
    captured.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previousHandler);
}

QStringList LogCapture::lines() const {
    QMutexLocker lock(&logMutex);
    return captured;
}

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellOutput(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return out;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    ::pclose(pipe);
    return out;
}

QString buildResources() {
    return qEnvironmentVariable("QUORVALE_BUILD_DIR") + QStringLiteral("/share/quorvale");
}

void makeExt4Image(const std::string& image, const std::string& sourceDir, int sizeMiB) {
    shell("rm -f '" + image + "'");
    shell("mkfs.ext4 -q -F -L quorvale -d '" + sourceDir + "' '" + image + "' " +
          std::to_string(sizeMiB) + "M");
}

long long makePartitionedImage(const std::string& image, const std::string& sourceDir, int extMiB) {
    constexpr long long sector = 512;
    constexpr long long fatStart = 2048;
    constexpr long long fatSectors = 40LL * 2048;
    const long long extStart = fatStart + fatSectors;
    const long long extSectors = static_cast<long long>(extMiB) * 2048;
    shell("rm -f '" + image + "' && truncate -s " +
          std::to_string((extStart + extSectors) * sector) + " '" + image + "'");
    shell("printf 'label: dos\\nstart=%s, size=%s, type=c\\nstart=%s, size=%s, type=83\\n' " +
          std::to_string(fatStart) + " " + std::to_string(fatSectors) + " " +
          std::to_string(extStart) + " " + std::to_string(extSectors) + " | sfdisk -q '" + image +
          "' >/dev/null");
    shell("mkfs.vfat -F 32 -s 1 --offset " + std::to_string(fatStart) + " '" + image + "' " +
          std::to_string(fatSectors / 2) + " >/dev/null 2>&1");
    shell("mkfs.ext4 -q -F -L data -E offset=" + std::to_string(extStart * sector) + " -d '" +
          sourceDir + "' '" + image + "' " + std::to_string(extMiB) + "M");
    return extStart * sector;
}

bool ping(int fd, std::chrono::milliseconds timeout) {
    static const std::string request = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})"
                                       "\n";
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        return false;
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        reply.append(buffer, n);
        if (reply.find("\"pong\"") != std::string::npos)
            return true;
    }
    return false;
}

UniqueFd waitForAgent(VMLifecycleService& service, std::chrono::seconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        try {
            UniqueFd stream = run(service.connectVsock(5000));
            if (ping(stream.get(), std::chrono::seconds(2)))
                return stream;
        } catch (const VMError&) {
        }
        run(QCoro::sleepFor(std::chrono::milliseconds(250)));
    }
    return UniqueFd();
}

}  // namespace quorvale::guest::testing
