#include "ui/file_item_model.h"

#include <QMimeData>
#include <QUrl>

#include "ui/icons.h"

namespace quorvale::ui {

FileItemModel::FileItemModel(app::FileBrowserViewModel* viewModel, QObject* parent)
    : QAbstractTableModel(parent), viewModel(viewModel) {
    connect(viewModel, &app::FileBrowserViewModel::filesChanged, this, &FileItemModel::reload);
    connect(viewModel, &app::FileBrowserViewModel::selectedFilesChanged, this,
            &FileItemModel::selectionChanged);
    files = viewModel->files();
    selected = viewModel->selectedFiles();
    indexRows();
}

void FileItemModel::indexRows() {
    rows.clear();
    rows.reserve(files.size());
    for (qsizetype row = 0; row < files.size(); ++row)
        rows.insert(files[row].id, int(row));
}

void FileItemModel::reload() {
    QList<model::FileItem> next = viewModel->files();
    if (next == files)
        return;
    beginResetModel();
    files = std::move(next);
    selected = viewModel->selectedFiles();
    indexRows();
    endResetModel();
}

void FileItemModel::selectionChanged() {
    const QSet<QString> next = viewModel->selectedFiles();
    // Only the rows whose state flipped are repainted; a contiguous span keeps it to one signal.
    int first = -1;
    int last = -1;
    const auto touch = [&](const QString& id) {
        const int row = rowOf(id);
        if (row < 0)
            return;
        first = first < 0 ? row : std::min(first, row);
        last = std::max(last, row);
    };
    for (const QString& id : next)
        if (!selected.contains(id))
            touch(id);
    for (const QString& id : selected)
        if (!next.contains(id))
            touch(id);
    selected = next;
    if (first >= 0)
        Q_EMIT dataChanged(index(first, 0), index(last, columnCount_ - 1), {selectedRole});
}

int FileItemModel::rowOf(const QString& id) const {
    return rows.value(id, -1);
}

int FileItemModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(files.size());
}

int FileItemModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columnCount_;
}

QString FileItemModel::secondaryText(const model::FileItem& item) {
    return item.isDirectory ? QStringLiteral("Folder") : item.sizeText();
}

QVariant FileItemModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= files.size())
        return {};
    const model::FileItem& item = files[index.row()];
    switch (role) {
        case selectedRole:
            return selected.contains(item.id);
        case secondaryTextRole:
            return secondaryText(item);
        case Qt::AccessibleTextRole:
            return (item.isDirectory ? QStringLiteral("Folder: ") : QStringLiteral("File: ")) +
                   item.name;
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            switch (index.column()) {
                case name:
                    if (role == Qt::ToolTipRole && item.symlinkTarget)
                        return item.name + QStringLiteral(" → ") + *item.symlinkTarget;
                    return item.name;
                case size:
                    return item.isDirectory ? QStringLiteral("--") : item.sizeText();
                case date:
                    return item.dateText();
                case permissions:
                    return item.permissionText();
                case owner:
                    return item.owner;
            }
            return {};
        case Qt::DecorationRole:
            if (index.column() == name)
                return icons::tintedIcon(item.iconName(), 16, item.iconColor());
            return {};
    }
    return {};
}

QVariant FileItemModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Name", "Size", "Date Modified", "Permissions", "Owner"};
    return section >= 0 && section < columnCount_ ? QString::fromLatin1(titles[section])
                                                  : QVariant();
}

Qt::ItemFlags FileItemModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled
                           : Qt::ItemIsDropEnabled;
}

QStringList FileItemModel::mimeTypes() const {
    return {QStringLiteral("text/uri-list")};
}

QMimeData* FileItemModel::mimeData(const QModelIndexList&) const {
    // Drags out of the browser are built by the view, which exports the files first.
    return nullptr;
}

}  // namespace quorvale::ui
