// Closing the window on a real VM: the guest unmounts the card before the application ends,
// so the card is left clean, not with its journal to recover.

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "app/core/service_adapters.h"
#include "app/disk_image.h"
#include "disk/privileged_helper_client.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/window/main_window.h"
#include "window_fakes.h"

namespace quorvale::test {
namespace {

// dumpe2fs's "Filesystem features" line of the image.
QString featuresOf(const QString& image) {
    const auto [status, output] =
        testing::runTool(QStringLiteral("dumpe2fs"), {QStringLiteral("-h"), image});
    for (const QString& line : QString::fromUtf8(output).split('\n'))
        if (line.startsWith(QStringLiteral("Filesystem features:")))
            return line;
    return QStringLiteral("<no features: dumpe2fs exited %1>").arg(status);
}

TEST(MainWindowVM, ClosingTheWindowUnmountsTheCardBeforeTheVMEnds) {
    if (!testing::vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toUtf8());
    const QString image = makeExt4Image(dir.path());
    app::AppState appState;
    app::AppSettings settings(std::make_unique<QSettings>(
        dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    settings.setHasCompletedOnboarding(true);
    disk::PrivilegedHelperClient helperClient;
    app::HelperClientAccess helper(helperClient);
    guest::VMLifecycleService vmService;
    app::VMServiceControl vm(vmService);
    guest::VsockTransport transport;
    ui::MainWindow window(ui::WindowServices{appState, settings, helper, vm, transport,
                                             std::make_unique<app::DetectionDiskSource>(nullptr),
                                             QStringLiteral("/usr/libexec/quorvale/helper")});
    window.show();
    window.openDiskImage(image);
    const auto mounted = [&] {
        const auto partition = appState.selectedPartition();
        return partition && window.sidebar()->viewModel()->isMounted(partition->bsdName);
    };
    ASSERT_TRUE(QTest::qWaitFor(mounted, 180000)) << "the image never mounted";
    // Mounted read-write, the card's journal is in use.
    ASSERT_TRUE(featuresOf(image).contains(QStringLiteral("needs_recovery")))
        << featuresOf(image).toStdString();

    window.close();
    window.close();  // a second request while the first one stops the VM changes nothing
    EXPECT_TRUE(window.isVisible()) << "closed before the VM stopped";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 60000));
    EXPECT_FALSE(vm.isRunning());
    const QString features = featuresOf(image);
    EXPECT_FALSE(features.contains(QStringLiteral("needs_recovery"))) << features.toStdString();
    const auto [status, output] =
        testing::runTool(QStringLiteral("e2fsck"), {QStringLiteral("-fn"), image});
    EXPECT_EQ(status, 0) << output.toStdString();
    transport.disconnect();
}

}  // namespace
}  // namespace quorvale::test
