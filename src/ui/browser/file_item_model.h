#pragma once
// FileItemModel: the browser's entries as one table model (Name, Size, Date Modified,
// Permissions, Owner) shared by the grid and the list. It reads FileBrowserViewModel.files and
// resets only when that listing changes; a selection change only emits dataChanged for the
// selection role, so 100,000 entries cost no widget and no relayout per entry. Names can be
// edited in place (the views open the editor only on request).

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QSet>

#include <optional>

#include "app/browser/file_browser_view_model.h"
#include "app/preview/thumbnail_cache.h"

namespace quorvale::ui {

class FileItemModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // `folder` (where a search result is) shows only with subfolder search results.
    enum Column { name, size, date, permissions, owner, folder, columnCount_ };
    // thumbnailRole: the picture of an image file (a QImage), once it has been made.
    enum Role { selectedRole = Qt::UserRole + 1, secondaryTextRole, thumbnailRole };

    explicit FileItemModel(app::FileBrowserViewModel* viewModel, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Pictures of image files for thumbnailRole, asked for only as tiles are painted.
    void setThumbnails(app::ThumbnailCache* cache);
    // An edited name is not stored: nameEdited asks the browser to rename the entry.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;

    const model::FileItem& item(int row) const { return files[row]; }
    // The row of the entry `id`, or -1.
    int rowOf(const QString& id) const;
    // The text under a tile's name: the size for files, "Folder" for folders.
    // The tile's second line: "Folder", the size, or "→ target" for a symbolic link.
    static QString secondaryText(const model::FileItem& item);
    // The readable folder the entry is in.
    static QString folderOf(const model::FileItem& item);
    // The readable target of a symbolic link that has one.
    static std::optional<QString> linkTarget(const model::FileItem& item);
    // The entry's symbol at `size`, with a link emblem for a symbolic link.
    static QIcon entryIcon(const model::FileItem& item, int size);

Q_SIGNALS:
    void nameEdited(const quorvale::model::FileItem& item, const QString& name);

private:
    void reload();
    void selectionChanged();
    void thumbnailReady(const QString& id);

    QPointer<app::FileBrowserViewModel> viewModel;
    QList<model::FileItem> files;
    bool showsFolders = false;
    QPointer<app::ThumbnailCache> thumbnails;
    QHash<QString, int> rowsById;  // built when a picture arrives, dropped on reload
    QSet<QString> selected;
};

}  // namespace quorvale::ui
