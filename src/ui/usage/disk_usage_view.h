#pragma once
// The disk-usage sheet of a partition: its name with a close button, the usage bar, the used,
// total and free figures, a chart of what the used space holds, and the 20 largest root entries
// with their sizes and colour dots. The first eight entries have the colour of their part of the
// chart; the others, and the filesystem's own space, are the grey rest. Choosing an entry asks
// to show it in the browser. Presentation only: the data arrives complete through setData().

#include <QColor>
#include <QWidget>

#include <utility>

#include "ui/usage/disk_usage_data.h"

class QLabel;
class QToolButton;
class QVBoxLayout;

namespace quorvale::ui {

class UsageBar;
class UsageChart;

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
    // The entry rows, top to bottom (clicked, they emit entryChosen).
    QList<QWidget*> entryRowWidgets() const;
    // The chart's parts: each coloured entry's share of the total, in row order.
    QList<std::pair<QColor, double>> chartSegments() const;
    UsageBar* usageBar() const { return bar; }
    QToolButton* closeButton() const { return close; }

    // The dot colour of the entry at `index`: blue, purple, orange, green, pink, cyan, yellow,
    // red, then the grey of the chart's rest.
    static QColor dotColor(qsizetype index);
    static constexpr qsizetype kColouredEntries = 8;

    QSize sizeHint() const override { return kSheetSize; }

Q_SIGNALS:
    // The close button was pressed; the presenter dismisses the sheet.
    void dismissRequested();
    // An entry row was clicked: `path` as the guest names it.
    void entryChosen(const QString& path, bool isDirectory);

private:
    QWidget* makeEntryRow(const DiskUsageEntry& entry, qsizetype index);
    bool eventFilter(QObject* watched, QEvent* event) override;

    QLabel* name;
    QToolButton* close;
    UsageBar* bar;
    QLabel* used;
    QLabel* total;
    QLabel* free;
    QWidget* entries;
    QVBoxLayout* entryRows;
    QStringList shownNames;
    QList<QWidget*> rows;
    UsageChart* chart;
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
