#include "ui/sidebar/staged_changes_panel.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "model/display_format.h"
#include "rpc/device_name.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

StagedChangesPanel::StagedChangesPanel(app::AppState& appState, app::DeviceListViewModel& model,
                                       QWidget* parent)
    : QWidget(parent), appState(appState), model(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 4, 12, 4);
    column->setSpacing(4);
    toggle = new QCheckBox(QStringLiteral("Stage changes"));
    toggle->setToolTip(QStringLiteral(
        "Keep every change in an overlay on this computer until you apply it to the card"));
    column->addWidget(toggle);
    notice = theme::styledLabel({}, theme::caption(), theme::warning());
    notice->setWordWrap(true);
    column->addWidget(notice);
    title = theme::styledLabel(QStringLiteral("Pending changes"), theme::captionMedium(),
                               theme::textTertiary());
    column->addWidget(title);
    pending = new QListWidget;
    pending->setSelectionMode(QAbstractItemView::NoSelection);
    pending->setMaximumHeight(140);
    column->addWidget(pending);
    status = theme::styledLabel({}, theme::caption(), theme::textSecondary());
    status->setWordWrap(true);
    column->addWidget(status);
    progress = new QProgressBar;
    progress->setRange(0, 100);
    progress->setTextVisible(true);
    column->addWidget(progress);
    auto* buttons = new QHBoxLayout;
    applyToCard = new QPushButton(QStringLiteral("Apply to Card"));
    discard = new QPushButton(QStringLiteral("Discard"));
    buttons->addWidget(applyToCard);
    buttons->addWidget(discard);
    column->addLayout(buttons);

    connect(toggle, &QCheckBox::toggled, this, [this](bool on) { toggled(on); });
    connect(applyToCard, &QPushButton::clicked, this, [this] { applyChanges(); });
    connect(discard, &QPushButton::clicked, this, [this] { discardChanges(); });
    connect(&model, &app::DeviceListViewModel::stagingChanged, this, &StagedChangesPanel::refresh);
    connect(&model, &app::DeviceListViewModel::stagedChangesRecovered, this,
            [this](const QString& disk) {
                recoveredDisk = disk;
                refresh();
            });
    connect(&appState, &app::AppState::selectedPartitionChanged, this,
            &StagedChangesPanel::refresh);
    connect(&appState, &app::AppState::vmStatusChanged, this, &StagedChangesPanel::refresh);
    refresh();
}

QString StagedChangesPanel::selectedDisk() const {
    const auto partition = appState.selectedPartition();
    if (!partition || !partition->isEXT4())
        return {};
    const auto whole = rpc::wholeDiskName(partition->bsdName.toStdString());
    return whole ? QString::fromStdString(*whole) : partition->bsdName;
}

void StagedChangesPanel::refresh() {
    const QString disk = selectedDisk();
    setVisible(!disk.isEmpty());
    if (disk.isEmpty())
        return;
    const bool staging = model.isStaging(disk);
    {
        const QSignalBlocker quiet(toggle);
        toggle->setChecked(staging);
    }
    const auto record = model.stagedRecord(disk);
    const bool hasChanges = record && !record->operations.isEmpty();
    toggle->setEnabled(!busy && !hasChanges);
    notice->setVisible(staging && recoveredDisk == disk && hasChanges);
    notice->setText(
        QStringLiteral("Changes staged earlier for this card were found: apply them "
                       "to the card or discard them."));
    pending->clear();
    if (record)
        for (const app::StagedOperation& operation : record->operations)
            pending->addItem(operation.description());
    title->setVisible(staging);
    pending->setVisible(staging);
    applyToCard->setVisible(staging);
    discard->setVisible(staging);
    applyToCard->setEnabled(!busy && hasChanges);
    discard->setEnabled(!busy && record.has_value());
    if (!busy) {
        progress->setVisible(false);
        if (staging)
            status->setText(hasChanges ? QStringLiteral("%1 change(s), %2 staged; the card is "
                                                        "unchanged")
                                             .arg(record->operations.size())
                                             .arg(model::byteCountText(
                                                 static_cast<qint64>(record->stagedBytes())))
                                       : QStringLiteral("No changes yet; the card is unchanged"));
        else if (status->text().startsWith(QStringLiteral("No changes yet")) ||
                 status->text().contains(QStringLiteral("the card is unchanged")))
            status->clear();
    }
    status->setVisible(!status->text().isEmpty());
}

QCoro::Task<void> StagedChangesPanel::toggled(bool on) {
    QPointer self(this);
    const auto partition = appState.selectedPartition();
    if (!partition)
        co_return;
    busy = true;
    refresh();
    co_await model.setStaged(*partition, on);
    if (!self)
        co_return;
    busy = false;
    refresh();
}

std::optional<StagedChangesPanel::Target> StagedChangesPanel::beginAction() {
    const QString disk = selectedDisk();
    const auto partition = appState.selectedPartition();
    if (disk.isEmpty() || !partition)
        return std::nullopt;
    busy = true;
    recoveredDisk.clear();
    refresh();
    return Target{disk, *partition};
}

QCoro::Task<void> StagedChangesPanel::applyChanges() {
    QPointer self(this);
    const auto target = beginAction();
    if (!target)
        co_return;
    const QString disk = target->disk;
    status->setText(QStringLiteral("Writing the changes to the card…"));
    status->setVisible(true);
    progress->setValue(0);
    progress->setVisible(true);
    QPointer<QProgressBar> bar = progress;
    try {
        auto applying = model.applyStagedChanges(disk, [bar](quint64 done, quint64 total) {
            if (bar)
                bar->setValue(total == 0 ? 100 : static_cast<int>(done * 100 / total));
        });
        const app::CheckReport report = co_await std::move(applying);
        if (!self)
            co_return;
        status->setText(QStringLiteral("Applied to the card. ") + report.message);
        if (report.exitStatus() != 0)
            appState.showErrorBanner(QStringLiteral("Applied, but the check found problems: ") +
                                     report.message);
    } catch (const std::exception& error) {
        if (!self)
            co_return;
        status->setText(QStringLiteral("Not applied: ") + QString::fromUtf8(error.what()));
        appState.showErrorBanner(QStringLiteral("Cannot apply the staged changes: ") +
                                 QString::fromUtf8(error.what()));
    }
    busy = false;
    refresh();
    status->setVisible(!status->text().isEmpty());
    // The card is written directly now: its partition is mounted again.
    if (!model.isStaging(disk))
        model.mount(target->partition);
}

QCoro::Task<void> StagedChangesPanel::discardChanges() {
    QPointer self(this);
    const auto target = beginAction();
    if (!target)
        co_return;
    co_await model.discardStagedChanges(target->disk);
    if (!self)
        co_return;
    busy = false;
    status->setText(QStringLiteral("Discarded; the card is as it was."));
    refresh();
    status->setVisible(true);
    model.mount(target->partition);
}

}  // namespace quorvale::ui
