#pragma once
// The modal sheets of AppState.activeAlert, shown as window-modal dialogs over the main window:
// the error sheet (OK, Return) and the eject confirmation (Cancel on Escape, Eject on Return,
// which runs AppState.onConfirmEject). AlertSheetPresenter opens the sheet for each alert and
// clears activeAlert when the sheet closes, however it closes; clearing activeAlert closes it.

#include <QDialog>
#include <QPointer>

#include <functional>

#include "app/core/app_state.h"

class QHBoxLayout;
class QPushButton;

namespace quorvale::ui {

// The frame shared by the sheets: 24 points of padding, 340 points wide, a 40-point symbol,
// a title and a message, then the buttons at the bottom right.
class AlertSheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int kWidth = 340;

    AlertSheet(const QString& symbol, const QColor& symbolColor, const QString& title,
               const QString& message, QWidget* parent);

    QString titleText() const { return title; }
    QString messageText() const { return message; }
    // Adds a button; the default one answers Return.
    QPushButton* addButton(const QString& text, bool isDefault);

private:
    QString title;
    QString message;
    QHBoxLayout* buttons;
};

class ErrorSheet : public AlertSheet {
    Q_OBJECT
public:
    ErrorSheet(const QString& message, QWidget* parent);
};

// A card whose journal needs recovery: "Open Read-Only" (nothing is written, the journal is not
// replayed), "Repair and Open" (the journal is replayed) or "Cancel".
class JournalRecoverySheet : public AlertSheet {
    Q_OBJECT
public:
    JournalRecoverySheet(const model::Partition& partition, const QString& finding,
                         QWidget* parent);
    QPushButton* readOnlyButton() const { return readOnly; }
    QPushButton* repairButton() const { return repair; }

Q_SIGNALS:
    void chosen(quorvale::app::JournalChoice choice);

private:
    QPushButton* readOnly;
    QPushButton* repair;
};

class EjectConfirmationSheet : public AlertSheet {
    Q_OBJECT
public:
    EjectConfirmationSheet(const model::Device& device, QWidget* parent);
    // Accepted: the user chose Eject.
    QPushButton* ejectButton() const { return eject; }
    QPushButton* cancelButton() const { return cancel; }

private:
    QPushButton* eject;
    QPushButton* cancel;
};

class AlertSheetPresenter : public QObject {
    Q_OBJECT
public:
    // Builds the sheet of a delete confirmation (the file browser supplies it).
    using DeleteSheetFactory = std::function<QDialog*(const app::AppAlert& alert, QWidget* parent)>;

    AlertSheetPresenter(app::AppState& appState, QWidget* window);

    void setDeleteSheetFactory(DeleteSheetFactory factory) { deleteSheet = std::move(factory); }
    // The sheet on screen, if any.
    QDialog* currentSheet() const { return sheet; }

private:
    void alertChanged();

    app::AppState& appState;
    QPointer<QWidget> window;
    QPointer<QDialog> sheet;
    QPointer<QWidget> focusBefore;  // given its focus back when the sheet closes
    QString shownAlertID;
    DeleteSheetFactory deleteSheet;
};

}  // namespace quorvale::ui
