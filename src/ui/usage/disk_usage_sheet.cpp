#include "ui/usage/disk_usage_sheet.h"

#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"
#include "ui/usage/disk_usage_view.h"

namespace quorvale::ui {
namespace {

QVariant toVariant(const rpc::AnyCodable& value) {
    using Kind = rpc::AnyCodable::Kind;
    switch (value.kind()) {
        case Kind::boolean:
            return *value.boolValue();
        case Kind::integer:
            return QVariant::fromValue<qint64>(*value.intValue());
        case Kind::floating:
            return *value.doubleValue();
        case Kind::string:
            return QString::fromUtf8(value.stringValue()->data(),
                                     static_cast<qsizetype>(value.stringValue()->size()));
        default:
            break;
    }
    return {};
}

QVariantMap toVariantMap(const fileops::Dictionary& dictionary) {
    QVariantMap map;
    for (const auto& [key, value] : dictionary)
        map.insert(QString::fromStdString(key), toVariant(value));
    return map;
}

}  // namespace

DiskUsageSheet::DiskUsageSheet(QWidget* parent) : QDialog(parent) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("Disk Usage"));
    setFixedSize(DiskUsageView::kSheetSize);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    pages = new QStackedWidget;
    loading = new DiskUsageLoadingView;
    view = new DiskUsageView;
    pages->addWidget(loading);
    pages->addWidget(view);
    layout->addWidget(pages);
    connect(view, &DiskUsageView::dismissRequested, this, &QDialog::reject);
}

bool DiskUsageSheet::isLoading() const {
    return pages->currentWidget() == loading;
}

void DiskUsageSheet::setData(const DiskUsageData& data) {
    view->setData(data);
    pages->setCurrentWidget(view);
}

DiskUsageController::DiskUsageController(app::AppState& appState, guest::VsockTransport& transport,
                                         QWidget* window)
    : QObject(window), appState(appState), transport(transport), window(window) {}

QString DiskUsageController::partitionName(const std::optional<model::Partition>& partition) {
    if (!partition)
        return QStringLiteral("Partition");
    if (partition->label && !partition->label->isEmpty())
        return *partition->label;
    if (!partition->bsdName.isEmpty())
        return partition->bsdName;
    return QStringLiteral("Partition");
}

void DiskUsageController::load() {
    if (!transport.isConnected()) {
        appState.showErrorBanner(kNotRunningText);
        return;
    }
    if (shown)
        shown->close();
    auto* sheet = new DiskUsageSheet(window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    shown = sheet;
    connect(sheet->usageView(), &DiskUsageView::entryChosen, sheet,
            [this, sheet](const QString& path, bool isDirectory) {
                appState.requestShowEntry(path, isDirectory);
                sheet->close();
            });
    sheet->open();
    fetch(QPointer<DiskUsageController>(this), QPointer<DiskUsageSheet>(sheet));
}

QCoro::Task<void> DiskUsageController::fetch(QPointer<DiskUsageController> self,
                                             QPointer<DiskUsageSheet> sheet) {
    fileops::FileOperationService service(self->transport);
    const std::optional<model::Partition> selected = self->appState.selectedPartition();
    const QString name = partitionName(selected);
    // The selected partition's, not whichever the guest used last: several cards may be open.
    const std::optional<QString> bsdName =
        selected && !selected->bsdName.isEmpty() ? std::optional(selected->bsdName) : std::nullopt;
    try {
        const std::vector<fileops::Dictionary> partitions = co_await service.getPartitions();
        if (!self || !sheet || partitions.empty())
            co_return;
        QVariantMap partition = toVariantMap(partitions.front());
        for (const fileops::Dictionary& record : partitions) {
            const QVariantMap fields = toVariantMap(record);
            if (bsdName && fields.value(QStringLiteral("name")).toString() == *bsdName)
                partition = fields;
        }
        const std::vector<fileops::Dictionary> children =
            co_await service.dirUsage(QStringLiteral("/"), bsdName);
        if (!self || !sheet)
            co_return;
        QVariantList entries;
        for (const fileops::Dictionary& child : children)
            entries.append(toVariantMap(child));
        sheet->setData(DiskUsageData::fromGuest(name, partition, entries));
    } catch (const std::exception& error) {
        if (!self)
            co_return;
        self->appState.showErrorBanner(kFailurePrefix + QString::fromUtf8(error.what()));
        if (sheet)
            sheet->close();
    }
}

}  // namespace quorvale::ui
