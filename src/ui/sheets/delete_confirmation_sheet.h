#pragma once
// DeleteConfirmationSheet: asks before entries are deleted for good. Title "Delete "name"?"
// for one file, "Delete %lld Items?" for more; the warning text; the first five entries with
// icon, name and size, then "and N more"; "Cancel" on Escape and "Permanently Delete" on
// Return. Accepting means the user confirmed.

#include <QDialog>

#include "app/core/app_state.h"
#include "model/file_item.h"

#include <functional>

class QPushButton;

namespace quorvale::ui {

class DeleteConfirmationSheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int kShownRows = 5;

    // `medium` names what the files are removed from: "SD card", or "disk" for an image.
    DeleteConfirmationSheet(const QList<model::FileItem>& files, QWidget* parent,
                            const QString& medium = QStringLiteral("SD card"));

    // The factory the window's sheet presenter uses: a sheet whose confirmation runs
    // appState.onConfirmDelete.
    static std::function<QDialog*(const app::AppAlert&, QWidget*)> presenterFactory(
        app::AppState& appState);

    static QString titleFor(const QList<model::FileItem>& files);
    QString titleText() const { return title; }
    QPushButton* deleteButton() const { return confirm; }
    QPushButton* cancelButton() const { return cancel; }

private:
    QString title;
    QPushButton* confirm;
    QPushButton* cancel;
};

}  // namespace quorvale::ui
