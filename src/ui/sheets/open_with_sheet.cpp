#include "ui/sheets/open_with_sheet.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMimeDatabase>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/common/theme.h"

namespace quorvale::ui {

OpenWithSheet::OpenWithSheet(const QString& fileName, QWidget* parent)
    : QDialog(parent), mimeType(app::mimeTypeForName(fileName)) {
    setWindowTitle(QStringLiteral("Open With"));
    setWindowModality(Qt::WindowModal);
    setMinimumSize(380, 360);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 20);
    column->setSpacing(10);
    auto* title = theme::styledLabel(QStringLiteral("Open “%1” With").arg(fileName),
                                     theme::headline(), theme::textPrimary());
    title->setWordWrap(true);
    column->addWidget(title);
    const QString comment = QMimeDatabase().mimeTypeForName(mimeType).comment();
    column->addWidget(theme::styledLabel(comment.isEmpty() ? mimeType : comment, theme::caption(),
                                         theme::textTertiary()));
    list = new QListWidget;
    list->setIconSize(QSize(24, 24));
    column->addWidget(list, 1);
    empty = theme::styledLabel(QString(), theme::body(), theme::textSecondary());
    empty->setWordWrap(true);
    empty->hide();
    column->addWidget(empty);
    showAll = new QCheckBox(QStringLiteral("Show all applications"));
    column->addWidget(showAll);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setAutoDefault(false);
    confirm = new QPushButton(QStringLiteral("Open"));
    confirm->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(confirm);
    column->addLayout(buttons);

    connect(showAll, &QCheckBox::toggled, this, &OpenWithSheet::fill);
    connect(list, &QListWidget::currentRowChanged, this,
            [this](int row) { confirm->setEnabled(row >= 0); });
    connect(list, &QListWidget::itemActivated, confirm, &QPushButton::click);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(confirm, &QPushButton::clicked, this, [this] {
        const int row = list->currentRow();
        if (row < 0 || row >= shown.size())
            return;
        const app::DesktopApplication chosen = shown[row];
        accept();
        Q_EMIT applicationChosen(chosen);
    });
    fill();
}

void OpenWithSheet::fill() {
    shown = app::applicationsFor(mimeType, showAll->isChecked());
    list->clear();
    for (const app::DesktopApplication& application : std::as_const(shown)) {
        QIcon icon = QIcon::fromTheme(application.icon);
        if (icon.isNull())
            icon = QIcon::fromTheme(QStringLiteral("application-x-executable"));
        list->addItem(new QListWidgetItem(icon, application.name));
    }
    list->setCurrentRow(shown.isEmpty() ? -1 : 0);
    confirm->setEnabled(!shown.isEmpty());
    empty->setVisible(shown.isEmpty());
    empty->setText(showAll->isChecked()
                       ? QStringLiteral("No application on this computer opens files.")
                       : QStringLiteral("No application on this computer says it opens this "
                                        "kind of file."));
}

}  // namespace quorvale::ui
