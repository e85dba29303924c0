#pragma once
// The Settings window: a 500 x 400 tab view whose "General" tab holds the two switches bound to
// the user settings "autoEjectOnQuit" and "confirmDeletion". Each toggle is stored at once.

#include <QDialog>

#include "app/core/app_settings.h"

class QCheckBox;

namespace quorvale::ui {

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit SettingsDialog(app::AppSettings& settings, QWidget* parent = nullptr);

    QCheckBox* autoEjectSwitch() const { return autoEject; }
    QCheckBox* confirmDeletionSwitch() const { return confirmDeletion; }

private:
    QCheckBox* autoEject;
    QCheckBox* confirmDeletion;
};

}  // namespace quorvale::ui
