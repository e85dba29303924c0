#pragma once
// RenameSheet: the title "Rename", a field labelled "Name" prefilled with the current name,
// "Cancel" (Escape) and "Rename" (Return). Accepting emits renameConfirmed with the text as
// typed; FileBrowserView decides whether it differs enough to send.

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace quorvale::ui {

class RenameSheet : public QDialog {
    Q_OBJECT
public:
    RenameSheet(const QString& currentName, QWidget* parent);

    QLineEdit* nameField() const { return field; }
    QPushButton* renameButton() const { return confirm; }

    // The name to send for `typed` when renaming `currentName`: trimmed of white space and
    // newlines; nothing when blank or unchanged.
    static std::optional<QString> newName(const QString& currentName, const QString& typed);

Q_SIGNALS:
    void renameConfirmed(const QString& text);

private:
    QLineEdit* field;
    QPushButton* confirm;
};

}  // namespace quorvale::ui
