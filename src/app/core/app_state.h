#pragma once
// AppState: the one application state shared by every view and view model, living on the GUI
// thread for the life of the application. Every field is a property whose NOTIFY signal fires
// only when the value actually changes. showErrorBanner() shows the banner and schedules its
// own hide; each call schedules one, so the first call's hide also hides a later message.

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

#include "app/browser/file_sorting.h"
#include "app/core/app_types.h"
#include "app/devices/mount_choice.h"
#include "guest/vm_status.h"
#include "model/device.h"
#include "model/partition.h"

namespace quorvale::app {

class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(quorvale::app::SetupPhase setupPhase READ setupPhase WRITE setSetupPhase NOTIFY
                   setupPhaseChanged)
    Q_PROPERTY(bool isBootingVM READ isBootingVM WRITE setIsBootingVM NOTIFY isBootingVMChanged)
    Q_PROPERTY(bool needsFullDiskAccess READ needsFullDiskAccess WRITE setNeedsFullDiskAccess NOTIFY
                   needsFullDiskAccessChanged)
    Q_PROPERTY(bool retryMountAfterFDA READ retryMountAfterFDA WRITE setRetryMountAfterFDA NOTIFY
                   retryMountAfterFDAChanged)
    Q_PROPERTY(std::optional<quorvale::model::Partition> selectedPartition READ selectedPartition
                   WRITE setSelectedPartition NOTIFY selectedPartitionChanged)
    Q_PROPERTY(
        quorvale::app::ViewMode viewMode READ viewMode WRITE setViewMode NOTIFY viewModeChanged)
    Q_PROPERTY(quorvale::app::SortOrder sortOrder READ sortOrder WRITE setSortOrder NOTIFY
                   sortOrderChanged)
    Q_PROPERTY(
        bool sortAscending READ sortAscending WRITE setSortAscending NOTIFY sortAscendingChanged)
    Q_PROPERTY(bool showPreviewPanel READ showPreviewPanel WRITE setShowPreviewPanel NOTIFY
                   showPreviewPanelChanged)
    Q_PROPERTY(std::optional<quorvale::app::AppAlert> activeAlert READ activeAlert WRITE
                   setActiveAlert NOTIFY activeAlertChanged)
    Q_PROPERTY(
        quorvale::guest::VMStatus vmStatus READ vmStatus WRITE setVmStatus NOTIFY vmStatusChanged)
    Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage WRITE setErrorMessage NOTIFY
                   errorMessageChanged)
    Q_PROPERTY(bool showError READ showError WRITE setShowError NOTIFY showErrorChanged)
    Q_PROPERTY(std::optional<quorvale::model::Device> selectedDevice READ selectedDevice WRITE
                   setSelectedDevice NOTIFY selectedDeviceChanged)
    Q_PROPERTY(QString currentPath READ currentPath WRITE setCurrentPath NOTIFY currentPathChanged)
    Q_PROPERTY(QSet<QString> selectedFiles READ selectedFiles WRITE setSelectedFiles NOTIFY
                   selectedFilesChanged)
    Q_PROPERTY(QString searchQuery READ searchQuery WRITE setSearchQuery NOTIFY searchQueryChanged)
    Q_PROPERTY(bool isLoading READ isLoading WRITE setIsLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(
        QList<quorvale::model::Device> devices READ devices WRITE setDevices NOTIFY devicesChanged)

public:
    static constexpr std::chrono::milliseconds bannerDuration = std::chrono::seconds(5);
    // Runs `callback` on the GUI thread after `delay`. The default uses a single-shot timer.
    using Scheduler =
        std::function<void(std::chrono::milliseconds delay, std::function<void()> callback)>;

    explicit AppState(QObject* parent = nullptr);

    // Sets errorMessage, shows the banner and hides it again bannerDuration later (errorMessage
    // stays). The hide holds the state weakly.
    void showErrorBanner(const QString& message);
    void setScheduler(Scheduler scheduler) { schedule = std::move(scheduler); }

    // Changes to every partition of the whole disk `disk` are refused from now on, for `reason`
    // (a disk-image file shortened while open). Kept until the app quits: the disk's name is
    // never reused.
    void refuseChanges(const QString& disk, const QString& reason);
    // Why changes to the selected partition are refused, if they are.
    std::optional<QString> changesRefused() const;

    // Run when the user confirms the delete or eject sheet; installed by the owning views.
    std::function<void()> onConfirmDelete;
    std::function<void(const model::Device&)> onConfirmEject;
    // Run with the choice made in the journal recovery sheet; installed by the sidebar.
    std::function<void(const model::Partition&, JournalChoice)> onJournalChoice;
    // Throws when a partition's card (none: any card) is no longer in its reader; installed by
    // the sidebar, given to every file service (fileops::DiskCheck).
    std::function<void(const std::optional<QString>& partition)> checkDisks;

    SetupPhase setupPhase() const { return setupPhase_; }
    bool isBootingVM() const { return isBootingVM_; }
    bool needsFullDiskAccess() const { return needsFullDiskAccess_; }
    bool retryMountAfterFDA() const { return retryMountAfterFDA_; }
    std::optional<model::Partition> selectedPartition() const { return selectedPartition_; }
    ViewMode viewMode() const { return viewMode_; }
    // The browser's sort key and direction, shared by the View menu, the list's headers and
    // the browser.
    SortOrder sortOrder() const { return sortOrder_; }
    bool sortAscending() const { return sortAscending_; }
    bool showPreviewPanel() const { return showPreviewPanel_; }
    std::optional<AppAlert> activeAlert() const { return activeAlert_; }
    guest::VMStatus vmStatus() const { return vmStatus_; }
    std::optional<QString> errorMessage() const { return errorMessage_; }
    bool showError() const { return showError_; }
    std::optional<model::Device> selectedDevice() const { return selectedDevice_; }
    QString currentPath() const { return currentPath_; }
    QSet<QString> selectedFiles() const { return selectedFiles_; }
    QString searchQuery() const { return searchQuery_; }
    bool isLoading() const { return isLoading_; }
    QList<model::Device> devices() const { return devices_; }

    void setSetupPhase(const SetupPhase& value);
    void setIsBootingVM(bool value);
    void setNeedsFullDiskAccess(bool value);
    void setRetryMountAfterFDA(bool value);
    void setSelectedPartition(const std::optional<model::Partition>& value);
    void setViewMode(ViewMode value);
    void setSortOrder(SortOrder value);
    void setSortAscending(bool value);
    void setShowPreviewPanel(bool value);
    void setActiveAlert(const std::optional<AppAlert>& value);
    void setVmStatus(const guest::VMStatus& value);
    void setErrorMessage(const std::optional<QString>& value);
    void setShowError(bool value);
    void setSelectedDevice(const std::optional<model::Device>& value);
    void setCurrentPath(const QString& value);
    void setSelectedFiles(const QSet<QString>& value);
    void setSearchQuery(const QString& value);
    void setIsLoading(bool value);
    void setDevices(const QList<model::Device>& value);
    // Asks the browser to show the entry `path` of the selected partition: a folder opened, a
    // file selected in its folder (the disk-usage sheet's rows).
    void requestShowEntry(const QString& path, bool isDirectory) {
        Q_EMIT showEntryRequested(path, isDirectory);
    }

Q_SIGNALS:
    void showEntryRequested(const QString& path, bool isDirectory);
    void setupPhaseChanged();
    void isBootingVMChanged();
    void needsFullDiskAccessChanged();
    void retryMountAfterFDAChanged();
    void selectedPartitionChanged();
    void viewModeChanged();
    void sortOrderChanged();
    void sortAscendingChanged();
    void showPreviewPanelChanged();
    void activeAlertChanged();
    void vmStatusChanged();
    void errorMessageChanged();
    void showErrorChanged();
    void selectedDeviceChanged();
    void currentPathChanged();
    void selectedFilesChanged();
    void searchQueryChanged();
    void isLoadingChanged();
    void devicesChanged();
    // The result of changesRefused() may differ (also after selectedPartitionChanged).
    void changesRefusedChanged();

private:
    template <typename T, typename Signal>
    void assign(T& field, const T& value, Signal changed) {
        if (field == value)
            return;
        field = value;
        Q_EMIT(this->*changed)();
    }

    Scheduler schedule;
    SetupPhase setupPhase_;
    bool isBootingVM_ = false;
    bool needsFullDiskAccess_ = false;
    bool retryMountAfterFDA_ = false;
    std::optional<model::Partition> selectedPartition_;
    ViewMode viewMode_ = ViewMode::grid;
    SortOrder sortOrder_ = SortOrder::name;
    bool sortAscending_ = true;
    bool showPreviewPanel_ = false;
    std::optional<AppAlert> activeAlert_;
    guest::VMStatus vmStatus_ = guest::VMStatus::stopped();
    std::optional<QString> errorMessage_;
    bool showError_ = false;
    std::optional<model::Device> selectedDevice_;
    QString currentPath_ = QStringLiteral("/");
    QSet<QString> selectedFiles_;
    QString searchQuery_;
    bool isLoading_ = false;
    QList<model::Device> devices_;
    QHash<QString, QString> refusedDisks;  // whole disk -> reason
};

}  // namespace quorvale::app
