#include "ui/sidebar/device_rows.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QVBoxLayout>

#include "model/display_format.h"
#include "ui/common/elided_label.h"
#include "ui/common/icons.h"
#include "ui/common/progress_spinner.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

// The device's symbol on a 36-point tile tinted accent at opacity 0.1.
class SymbolTile : public QWidget {
public:
    explicit SymbolTile(const QString& symbol) : symbol(symbol) { setFixedSize(36, 36); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::withOpacity(theme::accent(), 0.1));
        painter.drawRoundedRect(rect(), 8, 8);
        const QPixmap pixmap = icons::tintedPixmap(symbol, 20, theme::accent());
        painter.drawPixmap(8, 8, pixmap);
    }

private:
    QString symbol;
};

QLabel* symbolLabel(const QString& symbol, const QColor& tint) {
    auto* label = new QLabel;
    label->setPixmap(icons::tintedPixmap(symbol, 16, tint));
    label->setFixedSize(16, 16);
    return label;
}

}  // namespace

QString mediaLabel(model::MediaType type) {
    switch (type) {
        case model::MediaType::sdCard:
            return QStringLiteral("SD Card");
        case model::MediaType::usbDrive:
            return QStringLiteral("USB Drive");
        case model::MediaType::unknown:
            break;
    }
    return QStringLiteral("External Disk");
}

QString mediaSymbol(model::MediaType type) {
    switch (type) {
        case model::MediaType::sdCard:
            return QStringLiteral("sdcard");
        case model::MediaType::usbDrive:
            return QStringLiteral("externaldrive");
        case model::MediaType::unknown:
            break;
    }
    return QStringLiteral("internaldrive");
}

QString filesystemBadgeText(model::FilesystemType type) {
    return model::displayName(type);
}

QString partitionDisplayName(const model::Partition& partition) {
    if (partition.label && !partition.label->isEmpty())
        return *partition.label;
    return partition.bsdName;
}

QLabel* makeBadge(const QString& text, const QColor& color, bool filled) {
    auto* badge = new QLabel(text);
    badge->setFont(filled ? theme::captionMedium() : theme::caption());
    const QColor background = filled ? theme::withOpacity(color, 0.15) : QColor(Qt::transparent);
    badge->setStyleSheet(QStringLiteral("QLabel { color: %1; background: %2; border-radius: 4px;"
                                        " padding: 1px 4px; }")
                             .arg(color.name(QColor::HexArgb), background.name(QColor::HexArgb)));
    badge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return badge;
}

DeviceRowView::DeviceRowView(const model::Device& device, QWidget* parent)
    : QWidget(parent), shown(device) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 4, 4, 4);
    row->setSpacing(10);
    row->addWidget(new SymbolTile(mediaSymbol(device.mediaType)));

    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto* name = elidedLabel(device.name, theme::bodyMedium(), theme::textPrimary());
    detail = elidedLabel(detailText(), theme::caption(), theme::textTertiary());
    texts->addWidget(name);
    texts->addWidget(detail);
    row->addLayout(texts, 1);

    if (device.hasEXT4Partition()) {
        badge = makeBadge(QStringLiteral("EXT4"), theme::success(), true);
        row->addWidget(badge);
    }
    if (device.isEjecting) {
        spinner = new ProgressSpinner(ProgressSpinner::kSmallDiameter);
        row->addWidget(spinner);
        auto* dim = new QGraphicsOpacityEffect(this);
        dim->setOpacity(0.7);
        setGraphicsEffect(dim);
    }
    setAccessibleName(QStringList{device.name, mediaLabel(device.mediaType),
                                  model::byteCountText(static_cast<qint64>(device.size))}
                          .join(QStringLiteral(", ")));
}

void DeviceRowView::playEntrance() {
    if (graphicsEffect())
        return;  // an ejecting row keeps its dimming
    auto* fade = new QGraphicsOpacityEffect(this);
    fade->setOpacity(0);
    setGraphicsEffect(fade);
    auto* animation = new QPropertyAnimation(fade, "opacity", this);
    animation->setDuration(static_cast<int>(theme::springDuration.count()));
    animation->setEasingCurve(theme::springStandard());
    animation->setEndValue(1.0);
    connect(animation, &QPropertyAnimation::finished, this, [this] { setGraphicsEffect(nullptr); });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

QString DeviceRowView::detailText() const {
    return model::byteCountText(static_cast<qint64>(shown.size)) + QStringLiteral(" · ") +
           mediaLabel(shown.mediaType);
}

PartitionRow::PartitionRow(const model::Partition& partition, bool isBooting, QWidget* parent)
    : QWidget(parent), shown(partition) {
    auto* row = new QHBoxLayout(this);
    // Indented 16 points under the device.
    row->setContentsMargins(4 + 16, 2, 4, 2);
    row->setSpacing(8);
    symbol = partition.isEXT4()
                 ? symbolLabel(QStringLiteral("internaldrive.fill"), theme::accent())
                 : symbolLabel(QStringLiteral("internaldrive"), theme::textSecondary());
    spinner = new ProgressSpinner(ProgressSpinner::kSmallDiameter);
    row->addWidget(symbol);
    row->addWidget(spinner);
    row->addWidget(
        elidedLabel(partitionDisplayName(partition), theme::body(), theme::textPrimary()), 1);
    const bool ext4 = partition.isEXT4();
    badge = makeBadge(filesystemBadgeText(partition.filesystemType),
                      ext4 ? theme::success() : theme::textTertiary(), ext4);
    row->addWidget(badge);
    row->addWidget(theme::styledLabel(model::byteCountText(static_cast<qint64>(partition.size)),
                                      theme::caption(), theme::textTertiary()));
    setBooting(isBooting);
}

void PartitionRow::setBooting(bool isBooting) {
    booting = isBooting;
    symbol->setVisible(!isBooting);
    spinner->setVisible(isBooting);
}

QString PartitionRow::badgeText() const {
    return badge->text();
}

}  // namespace quorvale::ui
