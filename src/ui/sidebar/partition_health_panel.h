#pragma once
// The sidebar's detail for the selected partition: its health card (the summary in the colour
// of its weight, then each field), read from the superblock before mounting; and, while an
// eject checks the card, the check's progress with a "Skip Check" button.

#include <QWidget>

#include "app/devices/device_list_view_model.h"

class QGridLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;

namespace quorvale::ui {

class PartitionHealthPanel : public QWidget {
    Q_OBJECT
public:
    PartitionHealthPanel(app::AppState& appState, app::DeviceListViewModel& model,
                         QWidget* parent = nullptr);

    QLabel* summaryLabel() const { return summary; }
    // The card's rows scroll when the sidebar is shorter than the card.
    QScrollArea* cardArea() const { return cardScroll; }
    QPushButton* skipButton() const { return skip; }
    QProgressBar* checkProgress() const { return progress; }
    // The value shown for `field`, or an empty string.
    QString valueOf(const QString& field) const;

private:
    void updateCard();
    void updateCheck();

    app::AppState& appState;
    app::DeviceListViewModel& model;
    QScrollArea* cardScroll;
    QWidget* card;
    QLabel* summary;
    QGridLayout* rows;
    int shownRows = 0;
    QWidget* check;
    QLabel* checkText;
    QProgressBar* progress;
    QPushButton* skip;
};

}  // namespace quorvale::ui
