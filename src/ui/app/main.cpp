// The Quorvale application: one AppState and one helper client for the process, the window's
// VM service, transport and disk source, and the main window. Disk-image paths given on the
// command line are opened as devices at start. Closing the window quits.
//
// Debugging aid: --screenshot FILE grabs the window to FILE (PNG) after --screenshot-delay
// seconds (default 5) and quits.

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QTimer>

#include "app/core/app_settings.h"
#include "app/core/app_startup.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/helper_setup.h"
#include "app/staging/staged_recording.h"
#include "disk/privileged_helper_client.h"
#include "fileops/transfer_memory.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "ui/browser/file_browser_view.h"
#include "ui/common/icons.h"
#include "ui/sheets/alert_sheets.h"
#include "ui/sheets/delete_confirmation_sheet.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/window/main_window.h"

using namespace quorvale;

int main(int argc, char** argv) {
    quorvale::fileops::shareHeapAcrossThreads();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvale"));
    QApplication::setOrganizationName(QStringLiteral("Quorvale"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setDesktopFileName(QStringLiteral("quorvale"));
    QApplication::setQuitOnLastWindowClosed(app::AppDelegate::shouldTerminateAfterLastWindowClosed);
    ui::icons::installThemeFallback();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Browse EXT4 filesystems without mounting them"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("images"),
                                 QStringLiteral("Disk-image files to open as devices."),
                                 QStringLiteral("[image...]"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Save the window to <file> and quit."),
                                        QStringLiteral("file"));
    const QCommandLineOption screenshotDelay(QStringLiteral("screenshot-delay"),
                                             QStringLiteral("Seconds before the screenshot."),
                                             QStringLiteral("seconds"), QStringLiteral("5"));
    parser.addOptions({screenshot, screenshotDelay});
    parser.process(application);

    const app::AppDelegate delegate;
    app::AppState appState;
    app::AppSettings settings;
    disk::PrivilegedHelperClient helperClient;
    app::HelperClientAccess helper(helperClient);
    guest::VMLifecycleService vmService;
    app::VMServiceControl vm(vmService);
    guest::VsockTransport transport;

    ui::MainWindow window(
        ui::WindowServices{appState, settings, helper, vm, transport,
                           std::make_unique<app::DetectionDiskSource>(&helperClient),
                           helperClient.options().helperPath,
                           app::helperInstallCommand(helperClient.options().helperPath,
                                                     QCoreApplication::applicationDirPath(),
                                                     QStringLiteral(QUORVALE_BUILD_DIR))});
    window.setDetailWidgetFactory(
        [&window](app::AppState& state, guest::VsockTransport& link) -> QWidget* {
            auto* browser = new ui::FileBrowserView(state, link);
            window.menus().edit->addActions(browser->editActions());
            // Changes to a staged card are recorded (and an upload without room refused).
            app::followStagedChanges(*browser->viewModel(), *window.sidebar()->viewModel());
            return browser;
        });
    window.sheets()->setDeleteSheetFactory(ui::DeleteConfirmationSheet::presenterFactory(appState));
    window.show();
    delegate.didFinishLaunching();
    QObject::connect(&application, &QApplication::aboutToQuit,
                     [&delegate] { delegate.willTerminate(); });

    for (const QString& path : parser.positionalArguments())
        window.openDiskImage(QFileInfo(path).absoluteFilePath());

    if (parser.isSet(screenshot)) {
        const int seconds = parser.value(screenshotDelay).toInt();
        QTimer::singleShot(std::chrono::seconds(seconds), &window, [&] {
            window.grab().save(parser.value(screenshot), "PNG");
            window.close();
        });
    }
    return application.exec();
}
