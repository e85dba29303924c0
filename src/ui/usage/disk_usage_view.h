#pragma once
// The disk-usage sheet of a partition: its name with a close button, the usage bar, the used,
// total and free figures, and the first 20 root entries with their sizes and colour dots.
// Presentation only: the data arrives complete through setData().

#include <QWidget>

#include "ui/usage/disk_usage_data.h"

class QLabel;
class QToolButton;
class QVBoxLayout;

namespace quorvale::ui {

class UsageBar;

class DiskUsageView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxEntries = 20;
    static constexpr QSize kSheetSize{480, 520};

    explicit DiskUsageView(QWidget* parent = nullptr);

    void setData(const DiskUsageData& data);

    QString partitionName() const;
    QString usedText() const;
    QString totalText() const;
    QString freeText() const;
    // Names of the entry rows shown, top to bottom.
    QStringList entryNames() const;
    UsageBar* usageBar() const { return bar; }
    QToolButton* closeButton() const { return close; }

    // The dot colour of the entry at `index`: blue, purple, orange, green, pink, cyan, yellow,
    // red, repeating.
    static QColor dotColor(qsizetype index);

    QSize sizeHint() const override { return kSheetSize; }

Q_SIGNALS:
    // The close button was pressed; the presenter dismisses the sheet.
    void dismissRequested();

private:
    QWidget* makeEntryRow(const DiskUsageEntry& entry, qsizetype index);

    QLabel* name;
    QToolButton* close;
    UsageBar* bar;
    QLabel* used;
    QLabel* total;
    QLabel* free;
    QWidget* entries;
    QVBoxLayout* entryRows;
    QStringList shownNames;
};

// The disk-usage sheet before its data arrives: a centred progress indicator over
// "Loading disk usage…" in the sheet's frame.
class DiskUsageLoadingView : public QWidget {
    Q_OBJECT
public:
    explicit DiskUsageLoadingView(QWidget* parent = nullptr);

    QString text() const;
    QSize sizeHint() const override { return DiskUsageView::kSheetSize; }

private:
    QLabel* label;
};

}  // namespace quorvale::ui
