#pragma once
// The main window. It wires the views together and owns none of the logic: the sidebar (with
// the device list view model) beside the detail column (EmptyStateView with nothing selected,
// else the detail widget), the toolbar, the error banner over the content, the alert sheets,
// the disk-usage sheet, and the full-window overlays in this order from the bottom: Full Disk
// Access, onboarding, VM boot (while one shows, nothing beneath takes input). Its first
// appearance runs the start-up steps. The title names the folder shown and its card; the view
// preferences are kept between runs. The services it is given must outlive it.

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

#include <qcoro/qcorotask.h>

#include "app/core/app_settings.h"
#include "app/core/app_startup.h"
#include "app/core/app_state.h"
#include "app/core/service_interfaces.h"
#include "ui/window/app_menus.h"

class QSplitter;
class QStackedWidget;

namespace quorvale::guest {
class VsockTransport;
}

namespace quorvale::ui {

class AlertSheetPresenter;
class BootOverlay;
class DiskUsageController;
class EmptyStateView;
class ErrorBanner;
class FullDiskAccessView;
class OnboardingView;
class PageOverlay;
class SidebarView;
class WindowToolbar;

struct WindowServices {
    app::AppState& appState;
    app::AppSettings& settings;
    app::HelperAccess& helper;
    app::VMControl& vm;
    guest::VsockTransport& transport;
    std::unique_ptr<app::DiskSource> disks;
    QString helperPath;  // the installed helper daemon, shown on the Full Disk Access page
    // The command that installs the helper, when it is missing and can be installed from here
    // (a build tree); the setup page shows it instead of asking for a password in vain.
    std::optional<QString> helperInstallCommand = {};
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr QSize kMinimumSize{900, 600};
    static constexpr QSize kDefaultSize{1200, 800};

    // Builds the detail column's widget shown while a partition is selected.
    using DetailWidgetFactory =
        std::function<QWidget*(app::AppState& appState, guest::VsockTransport& transport)>;

    explicit MainWindow(WindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Replaces the placeholder of the detail column.
    void setDetailWidgetFactory(const DetailWidgetFactory& factory);
    // Opens a disk-image file as a device; a failure shows the error banner.
    QCoro::Task<void> openDiskImage(QString path);
    void showSettings();

    SidebarView* sidebar() const { return sidebarView; }
    WindowToolbar* toolbar() const { return tools; }
    QStackedWidget* detailColumn() const { return detail; }
    EmptyStateView* emptyState() const { return empty; }
    QWidget* detailWidget() const { return selectedDetail; }
    ErrorBanner* errorBanner() const { return banner; }
    BootOverlay* bootOverlay() const { return boot; }
    PageOverlay* onboardingOverlay() const { return onboarding; }
    OnboardingView* onboardingView() const { return onboardingPage; }
    PageOverlay* fullDiskAccessOverlay() const { return fullDiskAccess; }
    FullDiskAccessView* fullDiskAccessView() const { return fullDiskAccessPage; }
    AlertSheetPresenter* sheets() const { return sheetPresenter; }
    DiskUsageController* diskUsage() const { return usage; }
    QSplitter* splitter() const { return split; }
    const AppMenus& menus() const { return menuActions; }

protected:
    void showEvent(QShowEvent* event) override;
    // With a VM running the window first stops it, taking no input meanwhile: the guest
    // unmounts its cards, which a process ending with QEMU killed would leave with their
    // journals to recover.
    void closeEvent(QCloseEvent* event) override;

private:
    void showDetail();
    void stackOverlays();
    void updateTitle();
    void updateBanner();
    // Reports disk-image files deleted, moved or shortened while open.
    void watchImageFiles();
    void chooseDiskImage();
    QCoro::Task<void> stopVMThenClose();

    app::AppState& appState;
    app::AppSettings& settings;
    app::VMControl& vm;
    guest::VsockTransport& transport;
    app::AppStartup startup;
    bool started = false;
    enum class Closing { open, stopping, stopped };
    Closing closing = Closing::open;
    SidebarView* sidebarView;
    WindowToolbar* tools;
    QWidget* content;
    QSplitter* split;
    QStackedWidget* detail;
    EmptyStateView* empty;
    QWidget* selectedDetail;
    ErrorBanner* banner;
    PageOverlay* fullDiskAccess;
    FullDiskAccessView* fullDiskAccessPage;
    PageOverlay* onboarding;
    OnboardingView* onboardingPage;
    BootOverlay* boot;
    AlertSheetPresenter* sheetPresenter;
    DiskUsageController* usage;
    AppMenus menuActions;
};

}  // namespace quorvale::ui
