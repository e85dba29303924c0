#pragma once
// The sidebar's detail for the selected partition: its health card (the summary in the colour
// of its weight, then each field), read from the superblock before mounting; and, while an
// eject checks the card, the check's progress with a "Skip Check" button.

#include <QWidget>

#include "app/device_list_view_model.h"

class QFormLayout;
class QLabel;
class QProgressBar;
class QPushButton;

namespace quorvale::ui {

class PartitionHealthPanel : public QWidget {
    Q_OBJECT
public:
    PartitionHealthPanel(app::AppState& appState, app::DeviceListViewModel& model,
                         QWidget* parent = nullptr);

    QLabel* summaryLabel() const { return summary; }
    QPushButton* skipButton() const { return skip; }
    QProgressBar* checkProgress() const { return progress; }
    // The value shown for `field`, or an empty string.
    QString valueOf(const QString& field) const;

private:
    void updateCard();
    void updateCheck();

    app::AppState& appState;
    app::DeviceListViewModel& model;
    QWidget* card;
    QLabel* summary;
    QFormLayout* rows;
    QWidget* check;
    QLabel* checkText;
    QProgressBar* progress;
    QPushButton* skip;
};

}  // namespace quorvale::ui
