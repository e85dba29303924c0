#include "app/core/app_state.h"

#include <QPointer>
#include <QTimer>

namespace quorvale::app {

AppState::AppState(QObject* parent) : QObject(parent) {
    schedule = [this](std::chrono::milliseconds delay, std::function<void()> callback) {
        QTimer::singleShot(delay, this, std::move(callback));
    };
}

void AppState::showErrorBanner(const QString& message) {
    setErrorMessage(message);
    setShowError(true);
    schedule(bannerDuration, [state = QPointer<AppState>(this)] {
        if (state)
            state->setShowError(false);
    });
}

void AppState::setSetupPhase(const SetupPhase& value) {
    assign(setupPhase_, value, &AppState::setupPhaseChanged);
}
void AppState::setIsBootingVM(bool value) {
    assign(isBootingVM_, value, &AppState::isBootingVMChanged);
}
void AppState::setNeedsFullDiskAccess(bool value) {
    assign(needsFullDiskAccess_, value, &AppState::needsFullDiskAccessChanged);
}
void AppState::setRetryMountAfterFDA(bool value) {
    assign(retryMountAfterFDA_, value, &AppState::retryMountAfterFDAChanged);
}
namespace {

// Whether the partition `name` is on the whole disk `disk`: sdb1 on sdb, image0p1 and image0
// on image0 (not image10p1).
bool isOnDisk(const QString& name, const QString& disk) {
    if (name == disk)
        return true;
    if (!name.startsWith(disk) || name.size() == disk.size() || disk.isEmpty())
        return false;
    QStringView rest = QStringView(name).mid(disk.size());
    if (disk.back().isDigit()) {
        if (!rest.startsWith(QLatin1Char('p')))
            return false;
        rest = rest.mid(1);
    }
    if (rest.isEmpty())
        return false;
    for (const QChar c : rest)
        if (!c.isDigit())
            return false;
    return true;
}

}  // namespace

void AppState::refuseChanges(const QString& disk, const QString& reason) {
    if (refusedDisks.value(disk) == reason)
        return;
    refusedDisks.insert(disk, reason);
    Q_EMIT changesRefusedChanged();
}

std::optional<QString> AppState::changesRefused() const {
    if (!selectedPartition_)
        return std::nullopt;
    for (auto it = refusedDisks.cbegin(); it != refusedDisks.cend(); ++it)
        if (isOnDisk(selectedPartition_->bsdName, it.key()))
            return it.value();
    return std::nullopt;
}

void AppState::setSelectedPartition(const std::optional<model::Partition>& value) {
    assign(selectedPartition_, value, &AppState::selectedPartitionChanged);
}
void AppState::setViewMode(ViewMode value) {
    assign(viewMode_, value, &AppState::viewModeChanged);
}
void AppState::setSortOrder(SortOrder value) {
    assign(sortOrder_, value, &AppState::sortOrderChanged);
}
void AppState::setSortAscending(bool value) {
    assign(sortAscending_, value, &AppState::sortAscendingChanged);
}
void AppState::setShowPreviewPanel(bool value) {
    assign(showPreviewPanel_, value, &AppState::showPreviewPanelChanged);
}
void AppState::setActiveAlert(const std::optional<AppAlert>& value) {
    assign(activeAlert_, value, &AppState::activeAlertChanged);
}
void AppState::setVmStatus(const guest::VMStatus& value) {
    assign(vmStatus_, value, &AppState::vmStatusChanged);
}
void AppState::setErrorMessage(const std::optional<QString>& value) {
    assign(errorMessage_, value, &AppState::errorMessageChanged);
}
void AppState::setShowError(bool value) {
    assign(showError_, value, &AppState::showErrorChanged);
}
void AppState::setSelectedDevice(const std::optional<model::Device>& value) {
    assign(selectedDevice_, value, &AppState::selectedDeviceChanged);
}
void AppState::setCurrentPath(const QString& value) {
    assign(currentPath_, value, &AppState::currentPathChanged);
}
void AppState::setSelectedFiles(const QSet<QString>& value) {
    assign(selectedFiles_, value, &AppState::selectedFilesChanged);
}
void AppState::setSearchQuery(const QString& value) {
    assign(searchQuery_, value, &AppState::searchQueryChanged);
}
void AppState::setIsLoading(bool value) {
    assign(isLoading_, value, &AppState::isLoadingChanged);
}
void AppState::setDevices(const QList<model::Device>& value) {
    assign(devices_, value, &AppState::devicesChanged);
}

}  // namespace quorvale::app
