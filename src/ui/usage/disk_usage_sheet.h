#pragma once
// The disk-usage sheet of the main window and its load. load() refuses with the "VM is not
// running" banner while the transport has no connection; otherwise it opens the sheet in its
// loading state and asks the guest for its partitions and the root's usage of the selected
// partition. The sheet then shows DiskUsageView; a failure closes it with the "Failed to load
// disk usage: " banner. An empty partition list leaves the sheet loading until the user closes
// it. Choosing an entry closes the sheet and asks the browser to show it.

#include <QDialog>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include "app/core/app_state.h"
#include "ui/usage/disk_usage_data.h"

class QStackedWidget;

namespace quorvale::guest {
class VsockTransport;
}

namespace quorvale::ui {

class DiskUsageView;
class DiskUsageLoadingView;

class DiskUsageSheet : public QDialog {
    Q_OBJECT
public:
    explicit DiskUsageSheet(QWidget* parent);

    bool isLoading() const;
    void setData(const DiskUsageData& data);
    DiskUsageView* usageView() const { return view; }
    DiskUsageLoadingView* loadingView() const { return loading; }

private:
    QStackedWidget* pages;
    DiskUsageLoadingView* loading;
    DiskUsageView* view;
};

class DiskUsageController : public QObject {
    Q_OBJECT
public:
    static inline const QString kNotRunningText =
        QStringLiteral("VM is not running. Please select an EXT4 partition to start the VM first.");
    static inline const QString kFailurePrefix = QStringLiteral("Failed to load disk usage: ");

    DiskUsageController(app::AppState& appState, guest::VsockTransport& transport, QWidget* window);

    // The toolbar's "Disk usage" button.
    void load();
    // The sheet while it is shown (`showDiskUsage`).
    DiskUsageSheet* sheet() const { return shown; }

    // The sheet's title: the selected partition's label, else its kernel name, else
    // "Partition".
    static QString partitionName(const std::optional<model::Partition>& partition);

private:
    static QCoro::Task<void> fetch(QPointer<DiskUsageController> self,
                                   QPointer<DiskUsageSheet> sheet);

    app::AppState& appState;
    guest::VsockTransport& transport;
    QPointer<QWidget> window;
    QPointer<DiskUsageSheet> shown;
};

}  // namespace quorvale::ui
