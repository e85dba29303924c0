#include "ui/sheets/delete_confirmation_sheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/browser/browser_notice.h"
#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

std::function<QDialog*(const app::AppAlert&, QWidget*)> DeleteConfirmationSheet::presenterFactory(
    app::AppState& appState) {
    return [&appState](const app::AppAlert& alert, QWidget* parent) -> QDialog* {
        auto* sheet = new DeleteConfirmationSheet(alert.files, parent,
                                                  app::mediumNoun(appState.selectedPartition()));
        QObject::connect(sheet, &QDialog::accepted, sheet, [&appState] {
            if (appState.onConfirmDelete)
                appState.onConfirmDelete();
        });
        return sheet;
    };
}

QString DeleteConfirmationSheet::titleFor(const QList<model::FileItem>& files) {
    if (files.size() >= 2)
        return QStringLiteral("Delete %1 Items?").arg(files.size());
    return QStringLiteral("Delete \"%1\"?")
        .arg(files.isEmpty() ? QString() : files.first().displayName());
}

DeleteConfirmationSheet::DeleteConfirmationSheet(const QList<model::FileItem>& files,
                                                 QWidget* parent, const QString& medium)
    : QDialog(parent), title(titleFor(files)) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(400);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 24, 28, 20);
    column->setSpacing(10);
    auto* symbol = new QLabel;
    symbol->setPixmap(
        icons::tintedPixmap(QStringLiteral("exclamationmark.triangle.fill"), 44, theme::danger()));
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* heading = theme::styledLabel(title, theme::headline(), theme::textPrimary());
    heading->setAlignment(Qt::AlignCenter);
    heading->setWordWrap(true);
    column->addWidget(heading);
    auto* text = theme::styledLabel(
        QStringLiteral("This action cannot be undone. The selected items will be permanently "
                       "removed from the %1.")
            .arg(medium),
        theme::body(), theme::textSecondary());
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    text->setFixedWidth(340);
    column->addWidget(text, 0, Qt::AlignHCenter);

    auto* list = new QVBoxLayout;
    list->setSpacing(4);
    for (qsizetype i = 0; i < std::min<qsizetype>(files.size(), kShownRows); ++i) {
        const model::FileItem& item = files[i];
        auto* row = new QHBoxLayout;
        auto* icon = new QLabel;
        icon->setFixedWidth(20);
        icon->setPixmap(icons::tintedPixmap(item.iconName(), 14, item.iconColor()));
        row->addWidget(icon);
        row->addWidget(theme::styledLabel(item.displayName(), theme::body(), theme::textPrimary()),
                       1);
        row->addWidget(theme::styledLabel(item.isDirectory ? QString() : item.sizeText(),
                                          theme::caption(), theme::textTertiary()));
        list->addLayout(row);
    }
    if (files.size() > kShownRows)
        list->addWidget(
            theme::styledLabel(QStringLiteral("and %1 more").arg(files.size() - kShownRows),
                               theme::caption(), theme::textTertiary()));
    column->addLayout(list);
    column->addSpacing(6);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setAutoDefault(false);
    confirm = new QPushButton(QStringLiteral("Permanently Delete"));
    confirm->setDefault(true);
    confirm->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; "
                                          "border-radius: 5px; padding: 5px 14px; }")
                               .arg(theme::danger().name()));
    buttons->addWidget(cancel);
    buttons->addWidget(confirm);
    column->addLayout(buttons);
    // QDialog maps Escape to reject and Return to the default button.
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(confirm, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace quorvale::ui
