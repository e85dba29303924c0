#include "ui/window/window_toolbar.h"

#include <QActionGroup>
#include <QPainter>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

constexpr int kIconSize = 16;

// The preview symbol with a diagonal stroke across it.
QIcon slashedIcon(const QString& symbol, const QColor& tint) {
    QPixmap pixmap = icons::tintedPixmap(symbol, kIconSize, tint);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(tint, 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(1.5, 1.5), QPointF(kIconSize - 1.5, kIconSize - 1.5));
    return QIcon(pixmap);
}

}  // namespace

WindowToolbar::WindowToolbar(app::AppState& appState, QWidget* parent)
    : QToolBar(QStringLiteral("Toolbar"), parent), appState(appState) {
    setObjectName(QStringLiteral("mainToolbar"));
    setMovable(false);
    setFloatable(false);
    setIconSize(QSize(kIconSize, kIconSize));
    setContextMenuPolicy(Qt::PreventContextMenu);
    // The primary actions sit at the trailing edge.
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    addWidget(spacer);

    const QColor tint = theme::textSecondary();
    auto* modes = new QActionGroup(this);
    grid = addAction(icons::tintedIcon(QStringLiteral("square.grid.2x2"), kIconSize, tint),
                     QStringLiteral("Grid"));
    list = addAction(icons::tintedIcon(QStringLiteral("list.bullet"), kIconSize, tint),
                     QStringLiteral("List"));
    for (QAction* action : {grid, list}) {
        action->setCheckable(true);
        action->setToolTip(QStringLiteral("Switch between grid and list view"));
        modes->addAction(action);
    }
    switchSeparator = addSeparator();
    preview = addAction(QStringLiteral("Preview"));
    preview->setToolTip(QStringLiteral("Toggle preview panel"));
    diskUsage = addAction(icons::tintedIcon(QStringLiteral("chart.pie"), kIconSize, tint),
                          QStringLiteral("Disk Usage"));
    diskUsage->setToolTip(QStringLiteral("Disk usage"));

    connect(grid, &QAction::triggered, this,
            [this] { this->appState.setViewMode(app::ViewMode::grid); });
    connect(list, &QAction::triggered, this,
            [this] { this->appState.setViewMode(app::ViewMode::list); });
    connect(preview, &QAction::triggered, this,
            [this] { this->appState.setShowPreviewPanel(!this->appState.showPreviewPanel()); });
    connect(diskUsage, &QAction::triggered, this, &WindowToolbar::diskUsageRequested);
    for (auto signal : {&app::AppState::selectedPartitionChanged, &app::AppState::viewModeChanged,
                        &app::AppState::showPreviewPanelChanged})
        connect(&appState, signal, this, &WindowToolbar::update);
    update();
}

QList<QAction*> WindowToolbar::visibleActions() const {
    QList<QAction*> shown;
    for (QAction* action : actions()) {
        if (action->isVisible() && !action->isSeparator() && action->text().size() > 0)
            shown << action;
    }
    return shown;
}

void WindowToolbar::update() {
    const bool selected = appState.selectedPartition().has_value();
    for (QAction* action : {grid, list, switchSeparator, preview, diskUsage})
        action->setVisible(selected);
    grid->setChecked(appState.viewMode() == app::ViewMode::grid);
    list->setChecked(appState.viewMode() == app::ViewMode::list);
    const QColor tint = theme::textSecondary();
    preview->setIcon(appState.showPreviewPanel()
                         ? icons::tintedIcon(QStringLiteral("sidebar.trailing"), kIconSize, tint)
                         : slashedIcon(QStringLiteral("sidebar.trailing"), tint));
}

}  // namespace quorvale::ui
