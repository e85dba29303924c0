#include "ui/sheets/alert_sheets.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

AlertSheet::AlertSheet(const QString& symbol, const QColor& symbolColor, const QString& title,
                       const QString& message, QWidget* parent)
    : QDialog(parent), title(title), message(message) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(title);
    setFixedWidth(kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(12);
    auto* icon = new QLabel;
    icon->setPixmap(icons::tintedPixmap(symbol, 40, symbolColor));
    column->addWidget(icon, 0, Qt::AlignHCenter);
    auto* heading = theme::styledLabel(title, theme::title(), theme::textPrimary());
    heading->setAlignment(Qt::AlignCenter);
    heading->setWordWrap(true);
    column->addWidget(heading);
    auto* body = theme::styledLabel(message, theme::body(), theme::textSecondary());
    body->setAlignment(Qt::AlignCenter);
    body->setWordWrap(true);
    column->addWidget(body);
    column->addSpacing(8);
    buttons = new QHBoxLayout;
    buttons->addStretch();
    column->addLayout(buttons);
}

QPushButton* AlertSheet::addButton(const QString& text, bool isDefault) {
    auto* button = new QPushButton(text);
    button->setAutoDefault(false);
    button->setDefault(isDefault);
    buttons->addWidget(button);
    return button;
}

ErrorSheet::ErrorSheet(const QString& message, QWidget* parent)
    : AlertSheet(QStringLiteral("exclamationmark.triangle.fill"), theme::systemOrange(),
                 QStringLiteral("Error"), message, parent) {
    QPushButton* ok = addButton(QStringLiteral("OK"), true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

JournalRecoverySheet::JournalRecoverySheet(const model::Partition& partition,
                                           const QString& finding, QWidget* parent)
    : AlertSheet(QStringLiteral("exclamationmark.triangle.fill"), theme::systemOrange(),
                 QStringLiteral("Open ") + partition.label.value_or(partition.bsdName) +
                     QStringLiteral("?"),
                 finding + QStringLiteral(
                               ". Open it read-only to look without writing anything, or repair "
                               "it: replaying the journal writes to the card."),
                 parent) {
    QPushButton* cancel = addButton(QStringLiteral("Cancel"), false);
    readOnly = addButton(QStringLiteral("Open Read-Only"), true);
    repair = addButton(QStringLiteral("Repair and Open"), false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(readOnly, &QPushButton::clicked, this, [this] {
        Q_EMIT chosen(app::JournalChoice::openReadOnly);
        accept();
    });
    connect(repair, &QPushButton::clicked, this, [this] {
        Q_EMIT chosen(app::JournalChoice::repairAndOpen);
        accept();
    });
}

EjectConfirmationSheet::EjectConfirmationSheet(const model::Device& device, QWidget* parent)
    : AlertSheet(QStringLiteral("eject.fill"), theme::textPrimary(),
                 QStringLiteral("Eject ") + device.name + QStringLiteral("?"),
                 QStringLiteral("Make sure all operations are complete before ejecting."), parent) {
    // Escape rejects the dialog (Cancel); Return presses the default button (Eject).
    cancel = addButton(QStringLiteral("Cancel"), false);
    eject = addButton(QStringLiteral("Eject"), true);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(eject, &QPushButton::clicked, this, &QDialog::accept);
}

AlertSheetPresenter::AlertSheetPresenter(app::AppState& appState, QWidget* window)
    : QObject(window), appState(appState), window(window) {
    connect(&appState, &app::AppState::activeAlertChanged, this,
            &AlertSheetPresenter::alertChanged);
}

void AlertSheetPresenter::alertChanged() {
    const auto alert = appState.activeAlert();
    if (sheet && (!alert || alert->id() != shownAlertID)) {
        // The alert was cleared or replaced: the old sheet goes without running anything.
        QDialog* old = sheet;
        sheet = nullptr;
        old->disconnect(this);
        old->reject();
        old->deleteLater();
    }
    if (!alert || sheet)
        return;
    QDialog* dialog = nullptr;
    switch (alert->kind) {
        case app::AppAlert::Kind::error:
            dialog = new ErrorSheet(alert->message, window);
            break;
        case app::AppAlert::Kind::ejectConfirmation: {
            dialog = new EjectConfirmationSheet(alert->device, window);
            const model::Device device = alert->device;
            connect(dialog, &QDialog::accepted, this, [this, device] {
                if (appState.onConfirmEject)
                    appState.onConfirmEject(device);
            });
            break;
        }
        case app::AppAlert::Kind::deleteConfirmation:
            if (deleteSheet)
                dialog = deleteSheet(*alert, window);
            break;
        case app::AppAlert::Kind::journalRecovery: {
            auto* journal = new JournalRecoverySheet(alert->partition, alert->message, window);
            const model::Partition partition = alert->partition;
            connect(journal, &JournalRecoverySheet::chosen, this,
                    [this, partition](app::JournalChoice choice) {
                        if (appState.onJournalChoice)
                            appState.onJournalChoice(partition, choice);
                    });
            dialog = journal;
            break;
        }
    }
    if (!dialog)
        return;
    sheet = dialog;
    shownAlertID = alert->id();
    focusBefore = QApplication::focusWidget();
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, this, [this, dialog] {
        if (sheet != dialog)
            return;
        sheet = nullptr;
        appState.setActiveAlert(std::nullopt);
        // Keys such as Delete go on working where they did before the sheet, also where no
        // window manager hands the activation back.
        if (window)
            window->window()->activateWindow();
        if (focusBefore && focusBefore->isVisible() && focusBefore->isEnabled())
            focusBefore->setFocus(Qt::OtherFocusReason);
    });
    dialog->open();
}

}  // namespace quorvale::ui
