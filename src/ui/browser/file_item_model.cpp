#include "ui/browser/file_item_model.h"

#include <QMimeData>
#include <QUrl>

#include "model/display_format.h"
#include "ui/common/icons.h"

namespace quorvale::ui {

FileItemModel::FileItemModel(app::FileBrowserViewModel* viewModel, QObject* parent)
    : QAbstractTableModel(parent), viewModel(viewModel) {
    connect(viewModel, &app::FileBrowserViewModel::filesChanged, this, &FileItemModel::reload);
    connect(viewModel, &app::FileBrowserViewModel::selectedFilesChanged, this,
            &FileItemModel::selectionChanged);
    files = viewModel->files();
    selected = viewModel->selectedFiles();
}

void FileItemModel::reload() {
    QList<model::FileItem> next = viewModel->files();
    const bool folders = viewModel->showsSearchResults();
    if (next == files && folders == showsFolders)
        return;
    beginResetModel();
    files = std::move(next);
    showsFolders = folders;
    rowsById.clear();
    selected = viewModel->selectedFiles();
    endResetModel();
}

void FileItemModel::setThumbnails(app::ThumbnailCache* cache) {
    thumbnails = cache;
    connect(cache, &app::ThumbnailCache::thumbnailReady, this, &FileItemModel::thumbnailReady);
}

void FileItemModel::thumbnailReady(const QString& id) {
    if (rowsById.isEmpty()) {
        rowsById.reserve(files.size());
        for (qsizetype row = 0; row < files.size(); ++row)
            rowsById.insert(files[row].id, static_cast<int>(row));
    }
    const auto found = rowsById.constFind(id);
    if (found == rowsById.constEnd())
        return;
    const QModelIndex changed = index(*found, name);
    Q_EMIT dataChanged(changed, changed, {thumbnailRole});
}

void FileItemModel::selectionChanged() {
    QSet<QString> next = viewModel->selectedFiles();
    // Only the rows whose state flipped are repainted, as one span so that it is one signal.
    // One pass over the rows costs less than keeping an index of 100,000 ids up to date.
    int first = -1;
    int last = -1;
    const auto rows = files.size();
    if ((selected.isEmpty() && next.size() >= rows) ||
        (next.isEmpty() && selected.size() >= rows)) {
        // All selected or all cleared: every row, without looking each one up.
        first = rows > 0 ? 0 : -1;
        last = int(rows) - 1;
    } else if (!selected.isEmpty() || !next.isEmpty()) {
        for (int row = 0; row < int(rows); ++row) {
            const QString& id = files[row].id;
            if (selected.contains(id) == next.contains(id))
                continue;
            if (first < 0)
                first = row;
            last = row;
        }
    }
    selected = std::move(next);
    if (first >= 0)
        Q_EMIT dataChanged(index(first, 0), index(last, columnCount_ - 1), {selectedRole});
}

int FileItemModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(files.size());
}

int FileItemModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columnCount_;
}

QString FileItemModel::secondaryText(const model::FileItem& item) {
    if (const auto target = linkTarget(item))
        return QStringLiteral("→ ") + *target;
    return item.isDirectory ? QStringLiteral("Folder") : item.sizeText();
}

QString FileItemModel::folderOf(const model::FileItem& item) {
    const qsizetype slash = item.path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : model::readableName(item.path.left(slash));
}

std::optional<QString> FileItemModel::linkTarget(const model::FileItem& item) {
    if (!item.isSymlink || !item.symlinkTarget || item.symlinkTarget->isEmpty())
        return std::nullopt;
    return model::readableName(*item.symlinkTarget);
}

QIcon FileItemModel::entryIcon(const model::FileItem& item, int size) {
    const QPixmap symbol = icons::tintedPixmap(item.iconName(), size, item.iconColor());
    return QIcon(item.isSymlink ? icons::withLinkEmblem(symbol) : symbol);
}

QVariant FileItemModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= files.size())
        return {};
    const model::FileItem& item = files[index.row()];
    switch (role) {
        case selectedRole:
            return selected.contains(item.id);
        case thumbnailRole:
            if (thumbnails && index.column() == name)
                if (std::optional<QImage> picture = thumbnails->thumbnail(item))
                    return *picture;
            return {};
        case secondaryTextRole:
            // A search result says where it is.
            if (showsFolders)
                return QStringLiteral("in ") + folderOf(item);
            return secondaryText(item);
        case Qt::AccessibleTextRole:
            return (item.isDirectory ? QStringLiteral("Folder: ") : QStringLiteral("File: ")) +
                   item.displayName();
        // The name itself, not its readable form: edited, it still holds the card's bytes.
        case Qt::EditRole:
            return index.column() == name ? QVariant(item.name) : QVariant();
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            switch (index.column()) {
                case name:
                    // A link names its target beside its own name.
                    if (const auto target = linkTarget(item))
                        return item.displayName() + QStringLiteral("  → ") + *target;
                    return item.displayName();
                case size:
                    return item.isDirectory ? QStringLiteral("--") : item.sizeText();
                case date:
                    return item.dateText();
                case permissions:
                    return item.permissionText();
                case owner:
                    return item.owner;
                case folder:
                    return folderOf(item);
            }
            return {};
        case Qt::DecorationRole:
            if (index.column() == name)
                return entryIcon(item, 16);
            return {};
    }
    return {};
}

QVariant FileItemModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Name",        "Size",  "Date Modified",
                                         "Permissions", "Owner", "Folder"};
    return section >= 0 && section < columnCount_ ? QString::fromLatin1(titles[section])
                                                  : QVariant();
}

Qt::ItemFlags FileItemModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    const Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    return index.column() == name ? flags | Qt::ItemIsEditable : flags;
}

bool FileItemModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() != name ||
        index.row() >= files.size())
        return false;
    Q_EMIT nameEdited(files[index.row()], value.toString());
    return false;
}

int FileItemModel::rowOf(const QString& id) const {
    for (qsizetype row = 0; row < files.size(); ++row)
        if (files[row].id == id)
            return static_cast<int>(row);
    return -1;
}

QStringList FileItemModel::mimeTypes() const {
    return {QStringLiteral("text/uri-list")};
}

QMimeData* FileItemModel::mimeData(const QModelIndexList&) const {
    // Drags out of the browser are built by the view, which exports the files first.
    return nullptr;
}

}  // namespace quorvale::ui
