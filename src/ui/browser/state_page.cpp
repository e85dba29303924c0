#include "ui/browser/state_page.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

StatePage::StatePage(QWidget* parent) : QWidget(parent) {
    // The texts wrap inside a centred box, which spans its whole width so that a wrapped label
    // is given the height of all its lines.
    auto* box = new QWidget;
    box->setMaximumWidth(460);
    auto* row = new QHBoxLayout(this);
    row->addStretch(1);
    row->addWidget(box, 4);
    row->addStretch(1);
    auto* column = new QVBoxLayout(box);
    column->setSpacing(8);
    column->addStretch(1);
    symbol = new QLabel;
    symbol->setAlignment(Qt::AlignCenter);
    title = theme::styledLabel(QString(), theme::headline(), theme::textPrimary());
    message = theme::styledLabel(QString(), theme::body(), theme::textSecondary());
    for (QLabel* label : {title, message}) {
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
    }
    action = new QPushButton;
    action->setAutoDefault(false);
    column->addWidget(symbol);
    column->addWidget(title);
    column->addWidget(message);
    column->addSpacing(4);
    column->addWidget(action, 0, Qt::AlignHCenter);
    column->addStretch(1);
    connect(action, &QPushButton::clicked, this, &StatePage::buttonClicked);
}

void StatePage::present(const QString& symbolName, const QString& titleText,
                        const QString& messageText, const QString& buttonText) {
    symbol->setPixmap(icons::tintedPixmap(symbolName, 40, theme::textTertiary()));
    title->setText(titleText);
    title->setVisible(!titleText.isEmpty());
    message->setText(messageText);
    action->setText(buttonText);
    action->setVisible(!buttonText.isEmpty());
}

QString StatePage::titleText() const {
    return title->text();
}

QString StatePage::messageText() const {
    return message->text();
}

}  // namespace quorvale::ui
