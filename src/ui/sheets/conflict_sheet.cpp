#include "ui/sheets/conflict_sheet.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <qcoro/qcorosignal.h>

#include "ui/common/theme.h"

namespace quorvale::ui {

using fileops::ConflictAction;

ConflictSheet::ConflictSheet(const fileops::Conflict& conflict, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("conflictSheet"));
    setWindowTitle(QStringLiteral("Name Taken"));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(380);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 20);
    column->setSpacing(12);
    auto* heading = theme::styledLabel(message(conflict), theme::headline(), theme::textPrimary());
    heading->setWordWrap(true);
    column->addWidget(heading);
    column->addWidget(theme::styledLabel(
        conflict.existingIsFolder
            ? QStringLiteral("A folder is never replaced; keep both or skip.")
            : QStringLiteral("Replace it, keep both (the copy gets a number), or skip this one?"),
        theme::body(), theme::textSecondary()));
    applyToAll = new QCheckBox(QStringLiteral("Apply to all"));
    column->addWidget(applyToAll);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    skip = new QPushButton(QStringLiteral("Skip"));
    keepBoth = new QPushButton(QStringLiteral("Keep Both"));
    replace = new QPushButton(QStringLiteral("Replace"));
    for (QPushButton* b : {skip, keepBoth, replace}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    replace->setEnabled(!conflict.existingIsFolder);
    (conflict.existingIsFolder ? keepBoth : replace)->setDefault(true);
    column->addLayout(buttons);
    const auto choose = [this](ConflictAction action) {
        chosen = action;
        accept();
    };
    connect(skip, &QPushButton::clicked, this, [choose] { choose(ConflictAction::skip); });
    connect(keepBoth, &QPushButton::clicked, this, [choose] { choose(ConflictAction::keepBoth); });
    connect(replace, &QPushButton::clicked, this, [choose] { choose(ConflictAction::replace); });
}

QString ConflictSheet::message(const fileops::Conflict& conflict) {
    const QString folder =
        conflict.folder.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    return QStringLiteral("%1 “%2” already exists in “%3”.")
        .arg(conflict.existingIsFolder ? QStringLiteral("A folder named")
                                       : QStringLiteral("An item named"),
             conflict.name, folder.isEmpty() ? QStringLiteral("Root") : folder);
}

fileops::ConflictAnswer ConflictSheet::answer() const {
    return {result() == QDialog::Accepted ? chosen : ConflictAction::skip, applyToAll->isChecked()};
}

QPushButton* ConflictSheet::button(ConflictAction action) const {
    switch (action) {
        case ConflictAction::replace:
            return replace;
        case ConflictAction::keepBoth:
            return keepBoth;
        case ConflictAction::skip:
            break;
    }
    return skip;
}

QCoro::Task<fileops::ConflictAnswer> ConflictSheet::ask(QWidget* parent,
                                                        fileops::Conflict conflict) {
    QPointer<ConflictSheet> sheet = new ConflictSheet(conflict, parent);
    sheet->open();
    co_await qCoro(sheet.data(), &QDialog::finished);
    if (!sheet)
        co_return fileops::ConflictAnswer{};
    const fileops::ConflictAnswer result = sheet->answer();
    sheet->deleteLater();
    co_return result;
}

}  // namespace quorvale::ui
