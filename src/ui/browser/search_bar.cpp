#include "ui/browser/search_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

SearchBar::SearchBar(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 6, 12, 6);
    layout->setSpacing(6);
    auto* glass = new QLabel;
    glass->setPixmap(
        icons::tintedPixmap(QStringLiteral("magnifyingglass"), 14, theme::textTertiary()));
    edit = new QLineEdit;
    edit->setPlaceholderText(QStringLiteral("Search files…"));
    edit->setFrame(false);
    edit->setFont(theme::body());
    clear = new QToolButton;
    clear->setAutoRaise(true);
    clear->setIcon(
        icons::tintedIcon(QStringLiteral("xmark.circle.fill"), 14, theme::textTertiary()));
    clear->setToolTip(QStringLiteral("Clear"));
    clear->hide();
    subfolders = new QToolButton;
    subfolders->setText(QStringLiteral("in all subfolders"));
    subfolders->setToolTip(QStringLiteral("Search this folder and every folder below it"));
    subfolders->setCheckable(true);
    subfolders->setAutoRaise(true);
    subfolders->setFont(theme::caption());
    subfolders->hide();
    layout->addWidget(glass);
    layout->addWidget(edit, 1);
    layout->addWidget(subfolders);
    layout->addWidget(clear);

    connect(edit, &QLineEdit::textChanged, this, [this](const QString& value) {
        clear->setVisible(!value.isEmpty());
        subfolders->setVisible(!value.isEmpty());
        Q_EMIT textChanged(value);
    });
    connect(subfolders, &QToolButton::toggled, this, &SearchBar::subfoldersToggled);
    connect(clear, &QToolButton::clicked, edit, &QLineEdit::clear);
}

QString SearchBar::text() const {
    return edit->text();
}

bool SearchBar::searchesSubfolders() const {
    return subfolders->isChecked();
}

void SearchBar::setSearchesSubfolders(bool value) {
    subfolders->setChecked(value);
}

void SearchBar::setText(const QString& text) {
    if (edit->text() != text)
        edit->setText(text);
}

}  // namespace quorvale::ui
