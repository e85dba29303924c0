#include "ui/setup/onboarding_view.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

// A row of 8-point dots, the current one in accent.
class PageDots : public QWidget {
public:
    PageDots(int count) : count(count) { setFixedSize(count * 8 + (count - 1) * 8, 8); }
    void setCurrent(int index) {
        current = index;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        for (int i = 0; i < count; ++i) {
            painter.setBrush(i == current ? theme::accent()
                                          : theme::withOpacity(theme::textTertiary(), 0.5));
            painter.drawEllipse(QRectF(i * 16, 0, 8, 8));
        }
    }

private:
    int count;
    int current = 0;
};

namespace {

QLabel* symbolLabel(const QString& symbol, int size, const QColor& tint) {
    auto* label = new QLabel;
    label->setPixmap(icons::tintedPixmap(symbol, size, tint));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QPushButton* prominentButton(const QString& text) {
    auto* button = new QPushButton(text);
    button->setDefault(true);
    button->setMinimumWidth(140);
    button->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none;"
                                         " border-radius: 6px; padding: 7px 18px; }"
                                         "QPushButton:pressed { background: %2; }"
                                         "QPushButton:disabled { background: %3; }")
                              .arg(theme::accent().name(), theme::accent().darker(120).name(),
                                   theme::withOpacity(theme::accent(), 0.5).name(QColor::HexArgb)));
    return button;
}

}  // namespace

OnboardingView::OnboardingView(app::HelperAccess& helper, QWidget* parent)
    : QWidget(parent), helper(helper) {
    setFixedSize(560, 480);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 24);
    pages = new QStackedWidget;
    pages->addWidget(makeWelcomePage());
    pages->addWidget(makeHelperPage());
    column->addWidget(pages, 1);
    dots = new PageDots(2);
    column->addWidget(dots, 0, Qt::AlignHCenter);
    showPage(0);
}

QWidget* OnboardingView::makeWelcomePage() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setSpacing(14);
    column->addStretch();
    column->addWidget(symbolLabel(QStringLiteral("sdcard"), 56, theme::accent()));
    auto* title = theme::styledLabel(QStringLiteral("Welcome to Quorvale"), theme::titleLarge(),
                                     theme::textPrimary());
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    column->addSpacing(8);
    const std::pair<const char*, const char*> features[] = {
        {"externaldrive.fill", "Browse EXT4 filesystems without mounting them"},
        {"bolt.fill", "Lightweight VM boots in under 2 seconds"},
        {"lock.shield.fill", "No kernel modules, FUSE or root required"},
        {"arrow.triangle.2.circlepath", "Read, write, copy, and manage files seamlessly"},
    };
    auto* list = new QVBoxLayout;
    list->setSpacing(10);
    for (const auto& [symbol, text] : features) {
        auto* row = new QHBoxLayout;
        row->setSpacing(12);
        auto* icon = symbolLabel(QString::fromLatin1(symbol), 20, theme::accent());
        icon->setFixedWidth(28);
        row->addWidget(icon);
        row->addWidget(
            theme::styledLabel(QString::fromUtf8(text), theme::body(), theme::textPrimary()), 1);
        list->addLayout(row);
    }
    auto* listHolder = new QWidget;
    listHolder->setLayout(list);
    column->addWidget(listHolder, 0, Qt::AlignHCenter);
    column->addStretch();
    continueTo = prominentButton(QStringLiteral("Continue"));
    connect(continueTo, &QPushButton::clicked, this, [this] { showPage(1); });
    column->addWidget(continueTo, 0, Qt::AlignHCenter);
    return page;
}

QWidget* OnboardingView::makeHelperPage() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setSpacing(14);
    column->addStretch();
    column->addWidget(symbolLabel(QStringLiteral("shield.checkered"), 56, theme::accent()));
    auto* title = theme::styledLabel(QStringLiteral("Admin Access Needed"), theme::titleLarge(),
                                     theme::textPrimary());
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    intro = theme::styledLabel(
        QStringLiteral("Quorvale needs a privileged helper to access raw SD card devices. Your "
                       "system will prompt you for your password."),
        theme::body(), theme::textSecondary());
    intro->setWordWrap(true);
    intro->setAlignment(Qt::AlignCenter);
    intro->setFixedWidth(400);
    column->addWidget(intro, 0, Qt::AlignHCenter);
    error = theme::styledLabel(QString(), theme::caption(), theme::danger());
    error->setWordWrap(true);
    error->setAlignment(Qt::AlignCenter);
    error->setFixedWidth(400);
    error->hide();
    column->addWidget(error, 0, Qt::AlignHCenter);

    commandBox = new QWidget;
    auto* commandColumn = new QVBoxLayout(commandBox);
    commandColumn->setContentsMargins(0, 0, 0, 0);
    auto* commandIntro = theme::styledLabel(
        QStringLiteral("The helper is not installed yet. This copy of Quorvale runs from its "
                       "build folder; install it once with:"),
        theme::caption(), theme::textSecondary());
    commandIntro->setWordWrap(true);
    commandIntro->setAlignment(Qt::AlignCenter);
    commandIntro->setFixedWidth(400);
    commandText = theme::styledLabel(QString(), theme::mono(), theme::textPrimary());
    commandText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    commandText->setWordWrap(true);
    commandText->setAlignment(Qt::AlignCenter);
    commandText->setFixedWidth(400);
    copyCommand = new QPushButton(QStringLiteral("Copy Command"));
    connect(copyCommand, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(commandText->text()); });
    auto* commandThen =
        theme::styledLabel(QStringLiteral("then choose Authorize. Disk images open without it."),
                           theme::caption(), theme::textSecondary());
    commandThen->setAlignment(Qt::AlignCenter);
    commandColumn->addWidget(commandIntro, 0, Qt::AlignHCenter);
    commandColumn->addWidget(commandText, 0, Qt::AlignHCenter);
    commandColumn->addWidget(copyCommand, 0, Qt::AlignHCenter);
    commandColumn->addWidget(commandThen, 0, Qt::AlignHCenter);
    commandBox->hide();
    column->addWidget(commandBox, 0, Qt::AlignHCenter);
    column->addStretch();

    auto* buttons = new QHBoxLayout;
    back = new QPushButton(QStringLiteral("Back"));
    authorize = prominentButton(QStringLiteral("Authorize"));
    // Disk images open without the helper: nobody has to give admin rights to try the app.
    skip = new QPushButton(QStringLiteral("Skip for now"));
    skip->setToolTip(QStringLiteral("Disk images open without the helper"));
    buttons->addStretch();
    buttons->addWidget(back);
    buttons->addWidget(authorize);
    buttons->addWidget(skip);
    buttons->addStretch();
    column->addLayout(buttons);
    connect(back, &QPushButton::clicked, this, [this] { showPage(0); });
    connect(authorize, &QPushButton::clicked, this, &OnboardingView::startInstall);
    connect(skip, &QPushButton::clicked, this, &OnboardingView::completed);
    return page;
}

int OnboardingView::currentPage() const {
    return pages->currentIndex();
}

QString OnboardingView::errorMessage() const {
    return error->isHidden() ? QString() : error->text();
}

void OnboardingView::showPage(int index) {
    pages->setCurrentIndex(index);
    dots->setCurrent(index);
}

void OnboardingView::setInstalling(bool value) {
    installing = value;
    authorize->setText(value ? QStringLiteral("Installing...") : QStringLiteral("Authorize"));
    authorize->setEnabled(!value);
    back->setEnabled(!value);
}

void OnboardingView::setHelperInstallCommand(const QString& command,
                                             std::function<bool()> installed) {
    commandText->setText(command);
    helperPresent = std::move(installed);
    commandBox->setVisible(!helperPresent());
    intro->setVisible(commandBox->isHidden());  // the page has room for one explanation
}

QString OnboardingView::helperInstallCommand() const {
    return commandBox->isHidden() ? QString() : commandText->text();
}

void OnboardingView::startInstall() {
    if (installing)
        return;
    // Asking for a password would only end in "not found".
    if (helperPresent && !helperPresent()) {
        error->setText(
            QStringLiteral("The helper is still not installed: run the command "
                           "below first."));
        error->show();
        commandBox->show();
        intro->hide();
        return;
    }
    commandBox->hide();
    intro->show();
    setInstalling(true);
    error->hide();
    install(QPointer<OnboardingView>(this), helper);
}

QCoro::Task<void> OnboardingView::install(QPointer<OnboardingView> self,
                                          app::HelperAccess& helper) {
    QString failure;
    try {
        co_await helper.installHelper();
    } catch (const std::exception& e) {
        failure = QString::fromUtf8(e.what());
    }
    if (!self)
        co_return;
    if (failure.isNull()) {
        self->setInstalling(false);
        Q_EMIT self->completed();
        co_return;
    }
    self->error->setText(failure);
    self->error->show();
    self->setInstalling(false);
    self->skip->show();
}

}  // namespace quorvale::ui
