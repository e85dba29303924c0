#pragma once
// The sidebar's staged changes of the selected ext4 partition: a "Stage changes" switch (the
// card is mounted again, read-only below an overlay that takes every write, or directly), the
// "Pending changes" list read from the app's record of the operations (each with its size),
// "Apply to Card" with the commit's progress, then the check's verdict, and "Discard", which
// mounts the partition again from the untouched card. When a mount took up changes left
// pending by an earlier run (a crash of the app or the VM), a notice offers both.

#include <qcoro/qcorotask.h>

#include <QWidget>

#include <optional>

#include "app/devices/device_list_view_model.h"
#include "model/device.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace quorvale::ui {

class StagedChangesPanel : public QWidget {
    Q_OBJECT
public:
    StagedChangesPanel(app::AppState& appState, app::DeviceListViewModel& model,
                       QWidget* parent = nullptr);

    QCheckBox* stageToggle() const { return toggle; }
    QListWidget* pendingList() const { return pending; }
    QPushButton* applyButton() const { return applyToCard; }
    QPushButton* discardButton() const { return discard; }
    QProgressBar* applyProgress() const { return progress; }
    QLabel* noticeLabel() const { return notice; }
    QLabel* statusLabel() const { return status; }

private:
    void refresh();
    QCoro::Task<void> toggled(bool on);
    QCoro::Task<void> applyChanges();
    QCoro::Task<void> discardChanges();
    // The selected ext4 partition's whole disk, or empty.
    QString selectedDisk() const;
    // Apply and Discard act on the selected card: the panel is busy from here on.
    struct Target {
        QString disk;
        model::Partition partition;
    };
    // The selected card and partition, the panel made busy; nothing when none is selected.
    std::optional<Target> beginAction();

    app::AppState& appState;
    app::DeviceListViewModel& model;
    QCheckBox* toggle;
    QLabel* notice;
    QLabel* title;
    QListWidget* pending;
    QLabel* status;
    QProgressBar* progress;
    QPushButton* applyToCard;
    QPushButton* discard;
    QString recoveredDisk;  // a mount took up earlier changes of this disk
    bool busy = false;
};

}  // namespace quorvale::ui
