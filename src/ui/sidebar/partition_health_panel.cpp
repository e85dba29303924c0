#include "ui/sidebar/partition_health_panel.h"

#include <QFormLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

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
    rows = new QFormLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setHorizontalSpacing(6);
    rows->setVerticalSpacing(1);
    cardColumn->addLayout(rows);
    column->addWidget(card);

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
    for (int row = 0; row < rows->rowCount(); ++row) {
        auto* name = qobject_cast<QLabel*>(rows->itemAt(row, QFormLayout::LabelRole)->widget());
        auto* value = qobject_cast<QLabel*>(rows->itemAt(row, QFormLayout::FieldRole)->widget());
        if (name && value && name->text() == field)
            return value->text();
    }
    return {};
}

void PartitionHealthPanel::updateCard() {
    while (rows->rowCount() > 0)
        rows->removeRow(0);
    const auto partition = appState.selectedPartition();
    const auto health = partition ? model.healthCard(partition->id) : std::nullopt;
    card->setVisible(health.has_value());
    if (!health)
        return;
    summary->setText(health->summary);
    QPalette palette = summary->palette();
    palette.setColor(QPalette::WindowText, levelColor(health->level));
    summary->setPalette(palette);
    for (const app::HealthCard::Row& row : health->rows) {
        auto* name = theme::styledLabel(row.field, theme::caption(), theme::textTertiary());
        auto* value =
            theme::styledLabel(row.value, theme::caption(),
                               row.level == app::HealthCard::Level::good ? theme::textSecondary()
                                                                         : levelColor(row.level));
        value->setWordWrap(true);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        rows->addRow(name, value);
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
