#include "ui/setup/full_disk_access_view.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/common/elided_label.h"
#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

// The 100-point circle filled from accent to accentLight, holding the lock symbol.
class LockCircle : public QWidget {
public:
    LockCircle() { setFixedSize(100, 100); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient fill(0, 0, width(), height());
        fill.setColorAt(0, theme::accent());
        fill.setColorAt(1, theme::accentLight());
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(rect());
        painter.drawPixmap(26, 26,
                           icons::tintedPixmap(QStringLiteral("lock.shield"), 48, Qt::white));
    }
};

// The step number in a 24-point accent circle.
class StepNumber : public QWidget {
public:
    explicit StepNumber(int number) : number(number) { setFixedSize(24, 24); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::accent());
        painter.drawEllipse(rect());
        painter.setPen(Qt::white);
        painter.setFont(theme::systemFont(13, QFont::DemiBold));
        painter.drawText(rect(), Qt::AlignCenter, QString::number(number));
    }

private:
    int number;
};

// "**bold**" parts become bold; everything else is shown as plain text.
QString markedText(const QString& text) {
    QString html = text.toHtmlEscaped();
    html.replace(QRegularExpression(QStringLiteral("\\*\\*(.+?)\\*\\*")),
                 QStringLiteral("<b>\\1</b>"));
    return html;
}

QPushButton* wideButton(const QString& text) {
    auto* button = new QPushButton(text);
    button->setMinimumWidth(260);
    return button;
}

}  // namespace

FullDiskAccessView::FullDiskAccessView(app::AppState& appState, app::HelperAccess& helper,
                                       const QString& helperPath, QWidget* parent)
    : QWidget(parent), appState(appState), helper(helper), path(helperPath) {
    setFixedSize(kSize);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 28, 40, 24);
    column->setSpacing(12);
    column->addWidget(new LockCircle, 0, Qt::AlignHCenter);
    auto* title = theme::styledLabel(QStringLiteral("Full Disk Access Required"),
                                     theme::titleLarge(), theme::textPrimary());
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    auto* text = theme::styledLabel(
        QStringLiteral("Your account needs permission for the Quorvale helper to read raw SD card "
                       "devices. This is a one-time setup."),
        theme::body(), theme::textSecondary());
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    text->setFixedWidth(420);
    column->addWidget(text, 0, Qt::AlignHCenter);
    column->addSpacing(4);

    const char* stepTexts[] = {
        "Click **Grant Access** below",
        "Enter your password when asked",
        "Quorvale adds you to the **plugdev** group",
        "Come back here and click **Continue**",
    };
    auto* stepList = new QVBoxLayout;
    stepList->setSpacing(8);
    int number = 1;
    for (const char* step : stepTexts) {
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        row->addWidget(new StepNumber(number++));
        auto* label = theme::styledLabel(markedText(QString::fromUtf8(step)), theme::body(),
                                         theme::textPrimary());
        label->setTextFormat(Qt::RichText);
        steps.append(label);
        row->addWidget(label, 1);
        stepList->addLayout(row);
    }
    auto* stepHolder = new QWidget;
    stepHolder->setLayout(stepList);
    column->addWidget(stepHolder, 0, Qt::AlignHCenter);

    auto* pathRow = new QHBoxLayout;
    pathRow->setSpacing(6);
    auto* folder = new QLabel;
    folder->setPixmap(icons::tintedPixmap(QStringLiteral("folder"), 12, theme::textSecondary()));
    pathRow->addStretch();
    pathRow->addWidget(folder);
    auto* pathLabel = elidedLabel(path, theme::mono(), theme::textSecondary());
    pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pathRow->addWidget(pathLabel);
    reveal = new QPushButton(QStringLiteral("Show in File Manager"));
    reveal->setFlat(true);
    reveal->setCursor(Qt::PointingHandCursor);
    QPalette link = reveal->palette();
    link.setColor(QPalette::ButtonText, theme::accent());
    reveal->setPalette(link);
    pathRow->addWidget(reveal);
    pathRow->addStretch();
    column->addLayout(pathRow);
    column->addStretch();

    grant = wideButton(QStringLiteral("Grant Access"));
    grant->setIcon(icons::tintedIcon(QStringLiteral("gear"), 16, Qt::white));
    grant->setDefault(true);
    grant->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none;"
                                        " border-radius: 6px; padding: 7px 18px; }"
                                        "QPushButton:disabled { background: %2; }")
                             .arg(theme::accent().name(),
                                  theme::withOpacity(theme::accent(), 0.5).name(QColor::HexArgb)));
    continueTo = wideButton(QStringLiteral("Continue"));
    skip = new QPushButton(QStringLiteral("Skip for now"));
    skip->setFlat(true);
    skip->setFont(theme::caption());
    QPalette muted = skip->palette();
    muted.setColor(QPalette::ButtonText, theme::textTertiary());
    skip->setPalette(muted);
    status = theme::styledLabel(QString(), theme::caption(), theme::textSecondary());
    status->setWordWrap(true);
    status->setAlignment(Qt::AlignCenter);
    status->hide();
    column->addWidget(grant, 0, Qt::AlignHCenter);
    column->addWidget(continueTo, 0, Qt::AlignHCenter);
    column->addWidget(status);
    column->addWidget(skip, 0, Qt::AlignHCenter);

    connect(reveal, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    });
    connect(grant, &QPushButton::clicked, this, [this] { runGrant(); });
    connect(continueTo, &QPushButton::clicked, this, [this] {
        this->appState.setNeedsFullDiskAccess(false);
        this->appState.setRetryMountAfterFDA(true);
    });
    connect(skip, &QPushButton::clicked, this,
            [this] { this->appState.setNeedsFullDiskAccess(false); });
}

QStringList FullDiskAccessView::stepTexts() const {
    QStringList texts;
    for (const QLabel* step : steps)
        texts << step->text();
    return texts;
}

QString FullDiskAccessView::grantStatus() const {
    return status->isHidden() ? QString() : status->text();
}

QCoro::Task<void> FullDiskAccessView::runGrant() {
    if (granting)
        co_return;
    QPointer<FullDiskAccessView> self(this);
    granting = true;
    grant->setEnabled(false);
    QString failure;
    try {
        co_await helper.grantAccess();
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
        if (failure.isEmpty())
            failure = QStringLiteral("unknown error");
    }
    if (!self)
        co_return;
    status->setText(failure.isEmpty() ? QStringLiteral("Access granted. Click Continue.")
                                      : QStringLiteral("Grant failed: ") + failure);
    status->show();
    grant->setEnabled(true);
    granting = false;
    Q_EMIT grantFinished(failure.isEmpty());
}

}  // namespace quorvale::ui
