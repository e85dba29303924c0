#include "ui/window/settings_dialog.h"

#include <QCheckBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "ui/common/icons.h"

namespace quorvale::ui {

SettingsDialog::SettingsDialog(app::AppSettings& settings, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(500, 400);
    auto* tabs = new QTabWidget;
    auto* general = new QWidget;
    auto* form = new QVBoxLayout(general);
    form->setContentsMargins(20, 20, 20, 20);
    autoEject = new QCheckBox(QStringLiteral("Auto-eject devices on quit"));
    autoEject->setChecked(settings.autoEjectOnQuit());
    confirmDeletion = new QCheckBox(QStringLiteral("Confirm before deleting files"));
    confirmDeletion->setChecked(settings.confirmDeletion());
    form->addWidget(autoEject);
    form->addWidget(confirmDeletion);
    form->addStretch();
    tabs->addTab(general, icons::icon(QStringLiteral("gear")), QStringLiteral("General"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs);

    connect(autoEject, &QCheckBox::toggled, this,
            [&settings](bool on) { settings.setAutoEjectOnQuit(on); });
    connect(confirmDeletion, &QCheckBox::toggled, this,
            [&settings](bool on) { settings.setConfirmDeletion(on); });
}

}  // namespace quorvale::ui
