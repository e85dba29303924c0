#pragma once
// SelectionActionBar: "checkmark.circle.fill" with "%lld selected", then "Select All" or
// "Deselect All" (when every visible entry is selected), "Copy Path", "Export" (replaced by
// "Exporting…" while an export runs), "Delete" in red and "Deselect".

#include <QWidget>

class QLabel;
class QPushButton;

namespace quorvale::ui {

class SelectionActionBar : public QWidget {
    Q_OBJECT
public:
    explicit SelectionActionBar(QWidget* parent = nullptr);

    // `allVisibleSelected`: every entry of the listing is in the selection.
    void setCounts(qsizetype selectedCount, bool allVisibleSelected);
    void setExporting(bool exporting);

    QPushButton* selectAllButton() const { return toggleAll; }
    QPushButton* exportButton() const { return exportAction; }
    QPushButton* deleteButton() const { return remove; }

Q_SIGNALS:
    void toggleSelectAll();
    void copyPath();
    void exportSelection();
    void deleteSelection();
    void deselect();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* count;
    QPushButton* toggleAll;
    QPushButton* copy;
    QPushButton* exportAction;
    QLabel* exporting;
    QPushButton* remove;
    QPushButton* clear;
};

}  // namespace quorvale::ui
