#include "ui/sidebar/sidebar_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QVBoxLayout>

#include "ui/common/icons.h"
#include "ui/common/theme.h"
#include "ui/sidebar/device_rows.h"
#include "ui/sidebar/partition_health_panel.h"
#include "ui/sidebar/staged_changes_panel.h"
#include "ui/sidebar/vm_status_indicator.h"

namespace quorvale::ui {
namespace {

enum Role { kPartitionID = Qt::UserRole + 1, kDeviceID };

VMIndicatorStatus indicatorStatus(const guest::VMStatus& status) {
    using State = guest::VMStatus::State;
    switch (status.state) {
        case State::stopped:
            return VMIndicatorStatus::stopped();
        case State::booting:
            return VMIndicatorStatus::booting();
        case State::running:
            return VMIndicatorStatus::running();
        case State::error:
            break;
    }
    return VMIndicatorStatus::error(status.description);
}

QWidget* noDevicesRow() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(4, 6, 4, 6);
    auto* symbol = new QLabel;
    symbol->setPixmap(icons::tintedPixmap(QStringLiteral("sdcard"), 14, theme::textTertiary()));
    layout->addWidget(symbol);
    layout->addWidget(
        theme::styledLabel(SidebarView::kNoDevicesText, theme::caption(), theme::textTertiary()),
        1);
    return row;
}

}  // namespace

SidebarView::SidebarView(app::AppState& appState, app::HelperAccess& helper, app::VMControl& vm,
                         guest::VsockTransport& transport, std::unique_ptr<app::DiskSource> disks,
                         QWidget* parent)
    : QWidget(parent), appState(appState) {
    model = new app::DeviceListViewModel(helper, vm, transport, &appState, std::move(disks), this);
    appState.onConfirmEject = [model = model](const model::Device& device) {
        if (model)
            model->ejectDevice(device);
    };
    appState.onJournalChoice = [model = model](const model::Partition& partition,
                                               app::JournalChoice choice) {
        if (model)
            model->mount(partition, choice);
    };

    setMinimumWidth(kMinimumWidth);
    setAutoFillBackground(true);
    QPalette sunken = palette();
    sunken.setColor(QPalette::Window, theme::surfaceSunken());
    setPalette(sunken);
    setMaximumWidth(kMaximumWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 8, 0, 8);
    column->setSpacing(4);
    auto* title =
        theme::styledLabel(QStringLiteral("Quorvale"), theme::headline(), theme::textPrimary());
    title->setContentsMargins(12, 0, 12, 4);
    column->addWidget(title);
    auto* section = theme::styledLabel(QStringLiteral("Devices"), theme::captionMedium(),
                                       theme::textTertiary());
    section->setContentsMargins(12, 4, 12, 0);
    column->addWidget(section);

    rows = new QListWidget;
    rows->setFrameShape(QFrame::NoFrame);
    rows->setSelectionMode(QAbstractItemView::SingleSelection);
    rows->setContextMenuPolicy(Qt::CustomContextMenu);
    rows->setAttribute(Qt::WA_MacShowFocusRect, false);
    rows->setFocusPolicy(Qt::NoFocus);
    rows->setStyleSheet(
        QStringLiteral("QListWidget { background: transparent; border: none; }"
                       "QListWidget::item { border: none; margin: 0 6px; }"
                       "QListWidget::item:selected, QListWidget::item:hover:selected {"
                       " background: %1; border-radius: 6px; }"
                       "QListWidget::item:hover:!selected { background: transparent; }")
            .arg(theme::withOpacity(theme::accent(), 0.16).name(QColor::HexArgb)));
    column->addWidget(rows, 1);
    health = new PartitionHealthPanel(appState, *model);
    column->addWidget(health, 1);
    staged = new StagedChangesPanel(appState, *model);
    column->addWidget(staged);

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(12, 4, 12, 0);
    indicator = new VMStatusIndicator;
    footer->addWidget(indicator, 1);
    footer->addWidget(theme::styledLabel(kVersionText, theme::caption(), theme::textTertiary()));
    column->addLayout(footer);

    connect(model, &app::DeviceListViewModel::devicesChanged, this, &SidebarView::rebuildRows);
    connect(rows, &QListWidget::itemSelectionChanged, this, &SidebarView::selectionChangedInList);
    connect(rows, &QListWidget::customContextMenuRequested, this, &SidebarView::showContextMenu);
    connect(&appState, &app::AppState::selectedPartitionChanged, this,
            &SidebarView::selectedPartitionChanged);
    // The booting spinner follows isBootingVM.
    connect(&appState, &app::AppState::isBootingVMChanged, this, &SidebarView::updateBootingRows);
    connect(&appState, &app::AppState::vmStatusChanged, this, &SidebarView::updateStatus);
    connect(&appState, &app::AppState::setupPhaseChanged, this,
            &SidebarView::startMonitoringIfReady);
    connect(&appState, &app::AppState::retryMountAfterFDAChanged, this, [this] {
        if (!this->appState.retryMountAfterFDA())
            return;
        this->appState.setRetryMountAfterFDA(false);
        const auto partition = this->appState.selectedPartition();
        if (partition && partition->isEXT4() && model)
            model->mount(*partition);
    });
    rebuildRows();
    updateStatus();
}

SidebarView::~SidebarView() {
    appState.onConfirmEject = nullptr;
    appState.onJournalChoice = nullptr;
}

void SidebarView::startMonitoringIfReady() {
    if (!model || appState.setupPhase() != app::SetupPhase::ready() || model->isMonitoring())
        return;
    model->startMonitoring();
}

void SidebarView::updateStatus() {
    indicator->setStatus(indicatorStatus(appState.vmStatus()));
}

void SidebarView::rebuildRows() {
    syncingSelection = true;
    rows->clear();
    const QList<model::Device> devices = model ? model->devices() : QList<model::Device>{};
    if (devices.isEmpty()) {
        auto* item = new QListWidgetItem(rows);
        item->setFlags(Qt::ItemIsEnabled);
        QWidget* row = noDevicesRow();
        item->setSizeHint(row->sizeHint());
        rows->setItemWidget(item, row);
    }
    const auto selected = appState.selectedPartition();
    for (const model::Device& device : devices) {
        auto* deviceItem = new QListWidgetItem(rows);
        deviceItem->setFlags(Qt::ItemIsEnabled);
        deviceItem->setData(kDeviceID, device.id);
        auto* deviceRow = new DeviceRowView(device);
        deviceItem->setSizeHint(deviceRow->sizeHint());
        rows->setItemWidget(deviceItem, deviceRow);
        if (!shownDevices.contains(device.id))
            deviceRow->playEntrance();
        for (const model::Partition& partition : device.partitions) {
            auto* item = new QListWidgetItem(rows);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            item->setData(kPartitionID, partition.id);
            item->setData(kDeviceID, device.id);
            const bool booting = appState.isBootingVM() && selected && selected->id == partition.id;
            auto* row = new PartitionRow(partition, booting);
            item->setSizeHint(row->sizeHint());
            rows->setItemWidget(item, row);
        }
    }
    shownDevices.clear();
    for (const model::Device& device : devices)
        shownDevices.insert(device.id);
    // The list is no taller than its rows: the room below goes to the health card.
    int height = 2 * rows->frameWidth();
    for (int i = 0; i < rows->count(); ++i)
        height += rows->item(i)->sizeHint().height() + 2 * rows->spacing();
    rows->setMaximumHeight(height);
    syncingSelection = false;
    syncSelectionFromState();
}

int SidebarView::rowOfPartition(const QString& partitionID) const {
    for (int i = 0; i < rows->count(); ++i) {
        if (rows->item(i)->data(kPartitionID).toString() == partitionID && !partitionID.isEmpty())
            return i;
    }
    return -1;
}

void SidebarView::syncSelectionFromState() {
    const auto selected = appState.selectedPartition();
    const int row = selected ? rowOfPartition(selected->id) : -1;
    syncingSelection = true;
    if (row < 0) {
        rows->clearSelection();
        rows->setCurrentItem(nullptr);
    } else
        rows->setCurrentRow(row);
    syncingSelection = false;
}

void SidebarView::selectionChangedInList() {
    if (syncingSelection || !model)
        return;
    const QList<QListWidgetItem*> items = rows->selectedItems();
    if (items.isEmpty())
        return;  // the selection only changes through a row
    const QString id = items.first()->data(kPartitionID).toString();
    for (const model::Device& device : model->devices()) {
        for (const model::Partition& partition : device.partitions) {
            if (partition.id == id)
                appState.setSelectedPartition(partition);
        }
    }
}

void SidebarView::updateBootingRows() {
    const auto selected = appState.selectedPartition();
    for (int i = 0; i < rows->count(); ++i) {
        if (auto* row = qobject_cast<PartitionRow*>(rows->itemWidget(rows->item(i)))) {
            row->setBooting(appState.isBootingVM() && selected &&
                            selected->id == row->partition().id);
        }
    }
}

void SidebarView::selectedPartitionChanged() {
    syncSelectionFromState();
    updateBootingRows();
    const auto partition = appState.selectedPartition();
    if (!partition || !partition->isEXT4() || !model || mountRequestedExplicitly)
        return;
    if (model->isAutoSelecting() || appState.isBootingVM())
        return;
    model->mount(*partition);
}

void SidebarView::browseFiles(const model::Partition& partition) {
    if (!model)
        return;
    // Mount once: the selection handler stands aside for the explicit mount.
    mountRequestedExplicitly = true;
    appState.setSelectedPartition(partition);
    mountRequestedExplicitly = false;
    model->mount(partition);
}

QMenu* SidebarView::contextMenuForRow(int row) {
    QListWidgetItem* item = rows->item(row);
    if (!item || !model || item->data(kPartitionID).toString().isEmpty())
        return nullptr;
    const QString partitionID = item->data(kPartitionID).toString();
    const QString deviceID = item->data(kDeviceID).toString();
    for (const model::Device& device : model->devices()) {
        if (device.id != deviceID)
            continue;
        for (const model::Partition& partition : device.partitions) {
            if (partition.id != partitionID)
                continue;
            auto* menu = new QMenu(this);
            if (partition.isEXT4()) {
                menu->addAction(QStringLiteral("Browse Files"), this,
                                [this, partition] { browseFiles(partition); });
            }
            menu->addSeparator();
            menu->addAction(QStringLiteral("Eject ") + device.name, this, [this, device] {
                appState.setActiveAlert(app::AppAlert::ejectConfirmation(device));
            });
            return menu;
        }
    }
    return nullptr;
}

void SidebarView::showContextMenu(const QPoint& position) {
    QListWidgetItem* item = rows->itemAt(position);
    QMenu* menu = item ? contextMenuForRow(rows->row(item)) : nullptr;
    if (!menu)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(rows->viewport()->mapToGlobal(position));
}

}  // namespace quorvale::ui
