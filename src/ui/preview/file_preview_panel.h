#pragma once
// FilePreviewPanel: the "Preview" column beside the file list, observing a FilePreviewViewModel:
// "Select a file to preview" with nothing selected, "Loading preview…" while loading, else the
// folder symbol, the image or the text (mono), the "Hex Viewer" section with its byte count,
// and the information list (Kind, Size, Modified, Permissions, Owner, Path, Link Target).
// The hex viewer shows 16 bytes a row in the panel's width, never cut off: the type shrinks as
// far as it stays legible, and a panel too narrow even then leaves out the character column.

#include <QPointer>
#include <QWidget>

#include "app/preview/file_preview_view_model.h"

class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace quorvale::ui {

class FilePreviewPanel : public QWidget {
    Q_OBJECT
public:
    explicit FilePreviewPanel(app::FilePreviewViewModel* previewVM, QWidget* parent = nullptr);

    // "Folder" for folders, else the upper-cased extension and " File" ("Document" without one).
    static QString kindText(const model::FileItem& item);

    QStackedWidget* pages() const { return stack; }
    QLabel* imageLabel() const { return image; }
    QPlainTextEdit* textView() const { return text; }
    QPlainTextEdit* hexView() const { return hex; }
    QLabel* hexCountLabel() const { return hexCount; }
    // Whether the hex rows carry their characters at the current width.
    bool hexShowsCharacters() const { return hexWithCharacters; }
    static constexpr int kHexMinPixelSize = 7;
    // The information list's label/value pairs, in order.
    QList<std::pair<QString, QString>> information() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    // Lays the hex rows out for the viewer's width.
    void fitHex();

    QPointer<app::FilePreviewViewModel> previewVM;
    QStackedWidget* stack;
    QWidget* itemPage;
    QLabel* image;
    QPlainTextEdit* text;
    QWidget* hexSection;
    QLabel* hexCount;
    QPlainTextEdit* hex;
    bool hexWithCharacters = true;
    QFormLayout* info;
};

}  // namespace quorvale::ui
