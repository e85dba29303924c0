#include "ui/window/main_window.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/browser/view_preferences.h"
#include "app/core/service_adapters.h"
#include "app/core/window_title.h"
#include "app/devices/image_file_watch.h"
#include "disk/disk_detection_service.h"
#include "ui/browser/empty_state_view.h"
#include "ui/common/error_banner.h"
#include "ui/common/page_overlay.h"
#include "ui/common/theme.h"
#include "ui/setup/boot_overlay.h"
#include "ui/setup/full_disk_access_view.h"
#include "ui/setup/onboarding_view.h"
#include "ui/sheets/alert_sheets.h"
#include "ui/sidebar/sidebar_view.h"
#include "ui/usage/disk_usage_sheet.h"
#include "ui/window/settings_dialog.h"
#include "ui/window/window_toolbar.h"

namespace quorvale::ui {
namespace {

QWidget* placeholder() {
    auto* label =
        theme::styledLabel(QStringLiteral("Files appear here once the partition is mounted."),
                           theme::body(), theme::textTertiary());
    label->setAlignment(Qt::AlignCenter);
    return label;
}

}  // namespace

MainWindow::MainWindow(WindowServices services, QWidget* parent)
    : QMainWindow(parent),
      appState(services.appState),
      settings(services.settings),
      vm(services.vm),
      transport(services.transport),
      startup(services.appState, services.settings, services.helper) {
    setWindowTitle(QStringLiteral("Quorvale"));
    setMinimumSize(kMinimumSize);
    resize(kDefaultSize);
    setUnifiedTitleAndToolBarOnMac(true);

    auto* central = new QWidget;
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    // The split view sits in its own host so that the banner overlays it alone.
    content = new QWidget;
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    split = new QSplitter(Qt::Horizontal);
    split->setChildrenCollapsible(false);
    sidebarView = new SidebarView(appState, services.helper, services.vm, transport,
                                  std::move(services.disks));
    detail = new QStackedWidget;
    empty = new EmptyStateView;
    selectedDetail = placeholder();
    detail->addWidget(empty);
    detail->addWidget(selectedDetail);
    split->addWidget(sidebarView);
    split->addWidget(detail);
    split->setStretchFactor(1, 1);
    split->setSizes({SidebarView::kIdealWidth, kDefaultSize.width() - SidebarView::kIdealWidth});
    contentLayout->addWidget(split);
    centralLayout->addWidget(content);
    setCentralWidget(central);

    banner = new ErrorBanner(content);
    fullDiskAccessPage = new FullDiskAccessView(appState, services.helper, services.helperPath);
    fullDiskAccess = new PageOverlay(fullDiskAccessPage, central);
    onboardingPage = new OnboardingView(services.helper);
    if (services.helperInstallCommand) {
        const QString installed = services.helperPath;
        onboardingPage->setHelperInstallCommand(*services.helperInstallCommand, [installed] {
            return QFileInfo(installed).isExecutable();
        });
    }
    onboarding = new PageOverlay(onboardingPage, central);
    boot = new BootOverlay(central);

    tools = new WindowToolbar(appState, this);
    addToolBar(Qt::TopToolBarArea, tools);
    menuActions = AppMenus::install(*this, appState);
    sheetPresenter = new AlertSheetPresenter(appState, this);
    usage = new DiskUsageController(appState, transport, this);

    connect(menuActions.openDiskImage, &QAction::triggered, this, &MainWindow::chooseDiskImage);
    connect(empty, &EmptyStateView::openDiskImageRequested, this, &MainWindow::chooseDiskImage);
    connect(menuActions.settings, &QAction::triggered, this, &MainWindow::showSettings);
    connect(tools, &WindowToolbar::diskUsageRequested, usage, &DiskUsageController::load);
    connect(&appState, &app::AppState::selectedPartitionChanged, this, &MainWindow::showDetail);
    connect(&appState, &app::AppState::showErrorChanged, this, &MainWindow::updateBanner);
    connect(&appState, &app::AppState::errorMessageChanged, this, &MainWindow::updateBanner);
    connect(banner, &ErrorBanner::dismissed, this, [this] { appState.setShowError(false); });
    connect(&appState, &app::AppState::isBootingVMChanged, this, [this] {
        boot->setVisible(appState.isBootingVM());
        stackOverlays();
    });
    app::bindViewPreferences(appState, settings, this);
    for (auto signal :
         {&app::AppState::selectedPartitionChanged, &app::AppState::currentPathChanged})
        connect(&appState, signal, this, &MainWindow::updateTitle);
    if (auto* model = sidebarView->viewModel())
        connect(model, &app::DeviceListViewModel::devicesChanged, this, &MainWindow::updateTitle);
    watchImageFiles();
    connect(boot, &BootOverlay::cancelRequested, this, [this] {
        if (auto* model = sidebarView->viewModel())
            model->cancelMount();
    });
    connect(&appState, &app::AppState::needsFullDiskAccessChanged, this, [this] {
        fullDiskAccess->setVisible(appState.needsFullDiskAccess());
        stackOverlays();
    });
    connect(onboardingPage, &OnboardingView::completed, this, [this] {
        onboarding->hide();
        stackOverlays();
        startup.completeOnboarding();
    });
    onboarding->setVisible(!settings.hasCompletedOnboarding());
    stackOverlays();
    showDetail();
    updateTitle();
}

void MainWindow::stackOverlays() {
    // Bottom to top: Full Disk Access, onboarding, boot.
    fullDiskAccess->raise();
    onboarding->raise();
    boot->raise();
    // Keys typed while a page covers the window must not reach the browser beneath it.
    content->setEnabled(fullDiskAccess->isHidden() && onboarding->isHidden() && boot->isHidden());
}

void MainWindow::updateTitle() {
    const auto* model = sidebarView->viewModel();
    setWindowTitle(app::windowTitle(appState.selectedPartition(),
                                    model ? model->devices() : QList<model::Device>{},
                                    appState.currentPath()));
}

MainWindow::~MainWindow() = default;

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (started)
        return;
    started = true;
    startup.start();
    sidebarView->startMonitoringIfReady();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closing == Closing::stopping) {
        event->ignore();
        return;
    }
    if (closing == Closing::open && vm.isRunning()) {
        event->ignore();
        closing = Closing::stopping;
        centralWidget()->setEnabled(false);  // the sidebar shows the VM stopping
        stopVMThenClose();
        return;
    }
    QMainWindow::closeEvent(event);
}

QCoro::Task<void> MainWindow::stopVMThenClose() {
    QPointer self(this);
    co_await vm.stopVM();  // never throws; bounded by the VM service's own grace
    if (!self)
        co_return;
    self->closing = Closing::stopped;
    self->close();
}

void MainWindow::setDetailWidgetFactory(const DetailWidgetFactory& factory) {
    QWidget* replacement = factory(appState, transport);
    detail->insertWidget(1, replacement);
    detail->removeWidget(selectedDetail);
    selectedDetail->deleteLater();
    selectedDetail = replacement;
    showDetail();
}

void MainWindow::showDetail() {
    detail->setCurrentWidget(appState.selectedPartition() ? selectedDetail
                                                          : static_cast<QWidget*>(empty));
}

void MainWindow::updateBanner() {
    const auto message = appState.errorMessage();
    if (appState.showError() && message) {
        banner->setMessage(*message);
        banner->showBanner();
        banner->raise();
    } else {
        banner->hideBanner();
    }
}

void MainWindow::showSettings() {
    auto* dialog = new SettingsDialog(settings, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void MainWindow::chooseDiskImage() {
    auto* dialog = new QFileDialog(this, QStringLiteral("Open Disk Image"));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(
        {QStringLiteral("Disk images (*.img *.raw *.iso *.bin)"), QStringLiteral("All files (*)")});
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this,
            [this](const QString& path) { openDiskImage(path); });
    dialog->open();
}

void MainWindow::watchImageFiles() {
    auto* model = sidebarView->viewModel();
    auto* source = model ? dynamic_cast<app::DetectionDiskSource*>(&model->diskService()) : nullptr;
    if (!source)
        return;
    app::followImageFiles(source->service(), appState, this);
}

QCoro::Task<void> MainWindow::openDiskImage(QString path) {
    QPointer<MainWindow> self(this);
    auto* model = sidebarView->viewModel();
    auto* source = model ? dynamic_cast<app::DetectionDiskSource*>(&model->diskService()) : nullptr;
    if (!source) {
        appState.showErrorBanner(
            QStringLiteral("Failed to open %1: disk images are not available").arg(path));
        co_return;
    }
    try {
        co_await source->service().openImage(path);
    } catch (const std::exception& error) {
        if (self) {
            appState.showErrorBanner(
                QStringLiteral("Failed to open %1: %2").arg(path, QString::fromUtf8(error.what())));
        }
    }
}

}  // namespace quorvale::ui
