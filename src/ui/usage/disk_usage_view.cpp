#include "ui/usage/disk_usage_view.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/common/icons.h"
#include "ui/common/progress_spinner.h"
#include "ui/common/theme.h"
#include "ui/common/usage_bar.h"

namespace quorvale::ui {

namespace {

constexpr int kDotSize = 8;
constexpr int kNameWidth = 250;

// A filled circle of one colour.
class Dot : public QWidget {
public:
    explicit Dot(const QColor& color) : color(color) { setFixedSize(kDotSize, kDotSize); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(rect());
    }

private:
    QColor color;
};

// A caption over a headline value, as one of the three figures under the bar.
QLabel* addFigure(QHBoxLayout* row, const QString& caption, const QColor& valueColor) {
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    column->addWidget(theme::styledLabel(caption, theme::caption(), theme::textTertiary()));
    QLabel* value = theme::styledLabel(QString(), theme::headline(), valueColor);
    column->addWidget(value);
    row->addLayout(column);
    return value;
}

}  // namespace

// A thin stacked bar over the whole capacity: one coloured part per leading entry, the grey rest
// of the used space, and the free space as the track.
class UsageChart : public QWidget {
public:
    UsageChart() {
        setFixedHeight(10);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void setParts(QList<std::pair<QColor, double>> coloured, double used) {
        parts = std::move(coloured);
        usedShare = used;
        update();
    }
    QList<std::pair<QColor, double>> parts;
    double usedShare = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QPainterPath track;
        track.addRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
        painter.fillPath(track, theme::surfaceSunken());
        painter.setClipPath(track);
        const double width = this->width();
        double x = 0;
        for (const auto& [color, share] : parts) {
            painter.fillRect(QRectF(x, 0, share * width, height()), color);
            x += share * width;
        }
        const double rest = std::max(0.0, usedShare * width - x);
        painter.fillRect(QRectF(x, 0, rest, height()), theme::textTertiary());
    }
};

DiskUsageView::DiskUsageView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(kSheetSize);

    name = theme::styledLabel(QString(), theme::title(), theme::textPrimary());
    close = new QToolButton;
    close->setAutoRaise(true);
    close->setCursor(Qt::PointingHandCursor);
    close->setIcon(
        icons::tintedIcon(QStringLiteral("xmark.circle.fill"), 20, theme::textTertiary()));
    close->setIconSize(QSize(20, 20));
    close->setToolTip(tr("Close"));
    close->setAccessibleName(tr("Close"));
    connect(close, &QToolButton::clicked, this, &DiskUsageView::dismissRequested);
    auto* header = new QHBoxLayout;
    header->addWidget(name, 1);
    header->addWidget(close);

    bar = new UsageBar;
    bar->setBarHeight(24);

    auto* figures = new QHBoxLayout;
    figures->setSpacing(24);
    used = addFigure(figures, tr("Used"), theme::textPrimary());
    total = addFigure(figures, tr("Total"), theme::textPrimary());
    free = addFigure(figures, tr("Free"), theme::systemGreen());
    figures->addStretch();

    auto* divider = new QFrame;
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::Window, theme::divider());
    divider->setPalette(dividerPalette);

    entries = new QWidget;
    entryRows = new QVBoxLayout(entries);
    entryRows->setContentsMargins(0, 0, 0, 0);
    entryRows->setSpacing(6);
    entryRows->addStretch();
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(entries);
    scroll->viewport()->setAutoFillBackground(false);
    entries->setAutoFillBackground(false);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    column->addLayout(header);
    column->addWidget(bar);
    column->addLayout(figures);
    chart = new UsageChart;
    chart->setToolTip(tr("Space taken on the disk, largest first; grey: everything else"));
    column->addWidget(chart);
    column->addWidget(divider);
    column->addWidget(scroll, 1);
}

void DiskUsageView::setData(const DiskUsageData& data) {
    name->setText(data.partitionName);
    bar->setFraction(data.usedFraction());
    used->setText(byteCountText(data.usedBytes()));
    total->setText(byteCountText(data.totalBytes));
    free->setText(byteCountText(data.freeBytes));

    while (entryRows->count() > 1) {
        QLayoutItem* item = entryRows->takeAt(0);
        delete item->widget();
        delete item;
    }
    shownNames.clear();
    rows.clear();
    const qsizetype shown = std::min<qsizetype>(data.children.size(), kMaxEntries);
    for (qsizetype i = 0; i < shown; ++i) {
        QWidget* row = makeEntryRow(data.children[i], i);
        entryRows->insertWidget(static_cast<int>(i), row);
        rows.append(row);
        shownNames.append(data.children[i].name);
    }
    QList<std::pair<QColor, double>> parts;
    for (qsizetype i = 0; i < std::min(shown, kColouredEntries) && data.totalBytes > 0; ++i)
        parts.append({dotColor(i), static_cast<double>(data.children[i].bytes()) /
                                       static_cast<double>(data.totalBytes)});
    chart->setParts(std::move(parts), data.usedFraction());
}

QWidget* DiskUsageView::makeEntryRow(const DiskUsageEntry& entry, qsizetype index) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 4, 0);
    layout->setSpacing(8);

    auto* icon = new QLabel;
    icon->setFixedWidth(20);
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(icons::tintedPixmap(
        entry.symbol(), 14, entry.isDirectory ? theme::accent() : theme::textSecondary()));

    QLabel* label = theme::styledLabel(QString(), theme::body(), theme::textPrimary());
    label->setText(label->fontMetrics().elidedText(entry.name, Qt::ElideMiddle, kNameWidth));
    if (label->text() != entry.name)
        label->setToolTip(entry.name);

    QLabel* size =
        theme::styledLabel(byteCountText(entry.bytes()), theme::body(), theme::textSecondary());
    if (entry.allocated && *entry.allocated != static_cast<quint64>(entry.size))
        size->setToolTip(tr("%1 on the disk, %2 of data")
                             .arg(byteCountText(entry.bytes()),
                                  byteCountText(static_cast<quint64>(entry.size))));

    layout->addWidget(icon);
    layout->addWidget(label, 1);
    layout->addWidget(size);
    layout->addWidget(new Dot(dotColor(index)));
    row->setAccessibleName(entry.name + QStringLiteral(", ") + size->text());
    row->setCursor(Qt::PointingHandCursor);
    row->setToolTip(entry.isDirectory ? tr("Open “%1”").arg(entry.name)
                                      : tr("Show “%1” in its folder").arg(entry.name));
    row->setProperty("entryPath", entry.path);
    row->setProperty("entryIsDirectory", entry.isDirectory);
    row->installEventFilter(this);
    return row;
}

bool DiskUsageView::eventFilter(QObject* watched, QEvent* event) {
    auto* row = qobject_cast<QWidget*>(watched);
    if (row && rows.contains(row) && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        row->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        Q_EMIT entryChosen(row->property("entryPath").toString(),
                           row->property("entryIsDirectory").toBool());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QColor DiskUsageView::dotColor(qsizetype index) {
    if (index >= kColouredEntries)
        return theme::textTertiary();
    switch (index) {
        case 0:
            return theme::systemBlue();
        case 1:
            return theme::systemPurple();
        case 2:
            return theme::systemOrange();
        case 3:
            return theme::systemGreen();
        case 4:
            return theme::systemPink();
        case 5:
            return theme::systemCyan();
        case 6:
            return theme::systemYellow();
        default:
            return theme::systemRed();
    }
}

QString DiskUsageView::partitionName() const {
    return name->text();
}
QString DiskUsageView::usedText() const {
    return used->text();
}
QString DiskUsageView::totalText() const {
    return total->text();
}
QString DiskUsageView::freeText() const {
    return free->text();
}
QStringList DiskUsageView::entryNames() const {
    return shownNames;
}

QList<QWidget*> DiskUsageView::entryRowWidgets() const {
    return rows;
}

QList<std::pair<QColor, double>> DiskUsageView::chartSegments() const {
    return chart->parts;
}

DiskUsageLoadingView::DiskUsageLoadingView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(DiskUsageView::kSheetSize);
    label = theme::styledLabel(tr("Loading disk usage…"), theme::body(), theme::textSecondary());
    auto* column = new QVBoxLayout(this);
    column->setSpacing(12);
    column->addStretch();
    column->addWidget(new ProgressSpinner, 0, Qt::AlignHCenter);
    column->addWidget(label, 0, Qt::AlignHCenter);
    column->addStretch();
}

QString DiskUsageLoadingView::text() const {
    return label->text();
}

}  // namespace quorvale::ui
