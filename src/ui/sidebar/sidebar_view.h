#pragma once
// The sidebar: the "Devices" list of DeviceListViewModel's devices (a DeviceRowView followed by
// a PartitionRow per partition, or one hint row when there are none), its selection bound to
// AppState.selectedPartition, the partition rows' context menu ("Browse Files" for EXT4 only,
// "Eject <name>"), and the footer with the VM status and version. It owns the view model and
// applies the change handlers: an EXT4 selection mounts unless a boot is under way or the view
// model is auto-selecting; the setup phase turning `ready` starts monitoring; a retry request
// after the Full Disk Access page mounts the selected EXT4 partition again.

#include <QPointer>
#include <QSet>
#include <QWidget>

#include <memory>

#include "app/devices/device_list_view_model.h"

class QListWidget;
class QListWidgetItem;
class QMenu;

namespace quorvale::ui {

class PartitionHealthPanel;
class StagedChangesPanel;
class VMStatusIndicator;

class SidebarView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinimumWidth = 220;
    static constexpr int kIdealWidth = 260;
    static constexpr int kMaximumWidth = 320;
    static inline const QString kNoDevicesText = QStringLiteral("Insert an SD card to begin");
    static inline const QString kVersionText = QStringLiteral("v1.0");

    // Creates the view model over the services (which must outlive the sidebar) and installs
    // AppState.onConfirmEject.
    SidebarView(app::AppState& appState, app::HelperAccess& helper, app::VMControl& vm,
                guest::VsockTransport& transport, std::unique_ptr<app::DiskSource> disks,
                QWidget* parent = nullptr);
    ~SidebarView() override;

    app::DeviceListViewModel* viewModel() const { return model; }
    QListWidget* list() const { return rows; }
    VMStatusIndicator* statusIndicator() const { return indicator; }
    PartitionHealthPanel* healthPanel() const { return health; }
    StagedChangesPanel* stagedPanel() const { return staged; }

    // Starts disk monitoring once the setup phase is `ready`.
    void startMonitoringIfReady();
    // The context menu of the partition row at `row` (nothing for other rows). Caller owns it.
    QMenu* contextMenuForRow(int row);
    // The row showing `partitionID`, or -1.
    int rowOfPartition(const QString& partitionID) const;

    QSize sizeHint() const override { return {kIdealWidth, 600}; }

private:
    void rebuildRows();
    void syncSelectionFromState();
    void selectionChangedInList();
    void selectedPartitionChanged();
    void browseFiles(const model::Partition& partition);
    void showContextMenu(const QPoint& position);
    void updateStatus();
    void updateBootingRows();

    app::AppState& appState;
    QPointer<app::DeviceListViewModel> model;
    QListWidget* rows;
    VMStatusIndicator* indicator;
    PartitionHealthPanel* health;
    StagedChangesPanel* staged;
    QSet<QString> shownDevices;  // devices already on screen, which enter without animation
    bool syncingSelection = false;
    bool mountRequestedExplicitly = false;
};

}  // namespace quorvale::ui
