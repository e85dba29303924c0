#include "ui/sidebar/partition_health_panel.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "ui/common/elided_label.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

namespace {

QColor levelColor(app::HealthCard::Level level) {
    switch (level) {
        case app::HealthCard::Level::good:
            return theme::success();
        case app::HealthCard::Level::notice:
            return theme::textSecondary();
        case app::HealthCard::Level::warning:
            return theme::warning();
        case app::HealthCard::Level::danger:
            return theme::danger();
    }
    return theme::textSecondary();
}

}  // namespace

PartitionHealthPanel::PartitionHealthPanel(app::AppState& appState, app::DeviceListViewModel& model,
                                           QWidget* parent)
    : QWidget(parent), appState(appState), model(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 4, 12, 4);
    column->setSpacing(4);

    card = new QWidget;
    auto* cardColumn = new QVBoxLayout(card);
    cardColumn->setContentsMargins(0, 0, 0, 0);
    cardColumn->setSpacing(2);
    cardColumn->addWidget(theme::styledLabel(QStringLiteral("Health"), theme::captionMedium(),
                                             theme::textTertiary()));
    summary = theme::styledLabel({}, theme::captionMedium(), theme::success());
    summary->setWordWrap(true);
    cardColumn->addWidget(summary);
    // Names and values both wrap, in columns of two to three parts of the sidebar's width.
    rows = new QGridLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setHorizontalSpacing(6);
    rows->setVerticalSpacing(2);
    rows->setColumnStretch(0, 2);
    rows->setColumnStretch(1, 3);
    cardColumn->addLayout(rows);
    cardColumn->addStretch(1);
    // Wrapped values keep their full height; a short sidebar scrolls the card instead of
    // squeezing its rows.
    cardScroll = new QScrollArea;
    cardScroll->setWidget(card);
    cardScroll->setWidgetResizable(true);
    cardScroll->setFrameShape(QFrame::NoFrame);
    cardScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    cardScroll->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    cardScroll->viewport()->setAutoFillBackground(false);
    column->addWidget(cardScroll, 1);

    check = new QWidget;
    auto* checkColumn = new QVBoxLayout(check);
    checkColumn->setContentsMargins(0, 4, 0, 0);
    checkText = theme::styledLabel({}, theme::caption(), theme::textSecondary());
    checkText->setWordWrap(true);
    checkColumn->addWidget(checkText);
    auto* line = new QHBoxLayout;
    progress = new QProgressBar;
    progress->setRange(0, 100);
    progress->setTextVisible(false);
    progress->setMaximumHeight(6);
    line->addWidget(progress, 1);
    skip = new QPushButton(QStringLiteral("Skip Check"));
    skip->setToolTip(QStringLiteral("Eject without waiting for the check to finish"));
    line->addWidget(skip);
    checkColumn->addLayout(line);
    column->addWidget(check);
    column->addStretch(0);  // takes the room when there is no card

    connect(skip, &QPushButton::clicked, this, [this] { this->model.skipEjectCheck(); });
    connect(&model, &app::DeviceListViewModel::healthCardsChanged, this,
            &PartitionHealthPanel::updateCard);
    connect(&appState, &app::AppState::selectedPartitionChanged, this,
            &PartitionHealthPanel::updateCard);
    connect(&model, &app::DeviceListViewModel::ejectCheckChanged, this,
            &PartitionHealthPanel::updateCheck);
    updateCard();
    updateCheck();
}

QString PartitionHealthPanel::valueOf(const QString& field) const {
    for (int row = 0; row < shownRows; ++row) {
        auto* name = qobject_cast<QLabel*>(rows->itemAtPosition(row, 0)->widget());
        auto* value = qobject_cast<QLabel*>(rows->itemAtPosition(row, 1)->widget());
        if (!name || !value || name->text() != field)
            continue;
        const auto* elided = qobject_cast<ElidedLabel*>(value);
        return elided ? elided->fullText() : value->text();
    }
    return {};
}

void PartitionHealthPanel::updateCard() {
    while (QLayoutItem* item = rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    shownRows = 0;
    const auto partition = appState.selectedPartition();
    const auto health = partition ? model.healthCard(partition->id) : std::nullopt;
    cardScroll->setVisible(health.has_value());
    if (!health)
        return;
    summary->setText(health->summary);
    QPalette palette = summary->palette();
    palette.setColor(QPalette::WindowText, levelColor(health->level));
    summary->setPalette(palette);
    for (const app::HealthCard::Row& row : health->rows) {
        auto* name = theme::styledLabel(row.field, theme::caption(), theme::textTertiary());
        const QColor color = row.level == app::HealthCard::Level::good ? theme::textSecondary()
                                                                       : levelColor(row.level);
        // Words wrap; one long word (a UUID) is elided in the middle, whole in its tooltip.
        QLabel* value = nullptr;
        if (row.value.contains(QLatin1Char(' '))) {
            value = theme::styledLabel(row.value, theme::caption(), color);
            value->setWordWrap(true);
        } else {
            value = elidedLabel(row.value, theme::caption(), color);
        }
        name->setWordWrap(true);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        rows->addWidget(name, shownRows, 0, Qt::AlignTop);
        rows->addWidget(value, shownRows, 1, Qt::AlignTop);
        ++shownRows;
    }
}

void PartitionHealthPanel::updateCheck() {
    const auto running = model.ejectCheck();
    check->setVisible(running.has_value());
    if (!running)
        return;
    checkText->setText(running->skipping
                           ? QStringLiteral("Skipping the check of %1…").arg(running->partition)
                           : QStringLiteral("Checking %1 before eject: %2% (pass %3 of 5)")
                                 .arg(running->partition)
                                 .arg(running->percent)
                                 .arg(running->pass));
    progress->setValue(running->percent);
    skip->setEnabled(!running->skipping);
}

}  // namespace quorvale::ui
