#include "ui/sheets/rename_sheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/common/theme.h"

namespace quorvale::ui {

RenameSheet::RenameSheet(const QString& currentName, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Rename"));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(340);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 20);
    column->setSpacing(12);
    column->addWidget(
        theme::styledLabel(QStringLiteral("Rename"), theme::headline(), theme::textPrimary()));
    auto* row = new QHBoxLayout;
    auto* label = theme::styledLabel(QStringLiteral("Name"), theme::body(), theme::textSecondary());
    field = new QLineEdit(currentName);
    field->selectAll();
    label->setBuddy(field);
    row->addWidget(label);
    row->addWidget(field, 1);
    column->addLayout(row);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setAutoDefault(false);
    confirm = new QPushButton(QStringLiteral("Rename"));
    confirm->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(confirm);
    column->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(confirm, &QPushButton::clicked, this, [this] {
        const QString text = field->text();
        accept();
        Q_EMIT renameConfirmed(text);
    });
}

std::optional<QString> RenameSheet::newName(const QString& currentName, const QString& typed) {
    const QString name = typed.trimmed();
    if (name.isEmpty() || name == currentName)
        return std::nullopt;
    return name;
}

}  // namespace quorvale::ui
