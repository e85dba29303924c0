#include "ui/common/icons.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>
#include <QStandardPaths>

#include <algorithm>
#include <array>

// Resources of a static library must be registered explicitly, outside any namespace.
static void initIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace quorvale::ui::icons {

namespace {

template <std::size_t N>
using Names = std::array<const char*, N>;

// Names are spelled exactly; Qt also tries each name with trailing "-part"s removed, so a name
// is only listed where that shortening cannot land on an unrelated icon.
constexpr Names<1> kFolder{"folder-symbolic"};
constexpr Names<1> kImage{"image-x-generic-symbolic"};
constexpr Names<1> kVideo{"video-x-generic-symbolic"};
constexpr Names<1> kAudio{"audio-x-generic-symbolic"};
constexpr Names<2> kRichText{"x-office-document-symbolic", "application-pdf"};
constexpr Names<1> kDocument{"x-office-document-symbolic"};
constexpr Names<1> kSpreadsheet{"x-office-spreadsheet-symbolic"};
constexpr Names<1> kPresentation{"x-office-presentation-symbolic"};
constexpr Names<1> kCode{"format-text-code"};
constexpr Names<1> kGlobe{"web-browser-symbolic"};
constexpr Names<1> kBrush{"applications-graphics-symbolic"};
constexpr Names<1> kGear{"emblem-system-symbolic"};
constexpr Names<1> kTerminal{"utilities-terminal-symbolic"};
constexpr Names<1> kPlainText{"text-x-generic-symbolic"};
constexpr Names<1> kArchive{"package-x-generic-symbolic"};
constexpr Names<1> kOptical{"media-optical-symbolic"};
constexpr Names<1> kGears{"preferences-system-symbolic"};
constexpr Names<1> kFirmware{"application-x-firmware-symbolic"};
constexpr Names<1> kExecutable{"application-x-executable-symbolic"};
constexpr Names<1> kGrid{"view-grid-symbolic"};
constexpr Names<1> kList{"view-list-bullet-symbolic"};
constexpr Names<1> kSidebar{"sidebar-show-right-symbolic"};
constexpr Names<1> kChartPie{"office-chart-pie"};
constexpr Names<1> kWarning{"dialog-warning-symbolic"};
constexpr Names<1> kEject{"media-eject-symbolic"};
constexpr Names<1> kSdCard{"media-flash-symbolic"};
constexpr Names<1> kRemovable{"drive-removable-media-symbolic"};
constexpr Names<1> kUsbDrive{"drive-harddisk-usb-symbolic"};
constexpr Names<1> kHardDisk{"drive-harddisk-symbolic"};
constexpr Names<1> kSearch{"system-search-symbolic"};
constexpr Names<1> kFind{"edit-find-symbolic"};
constexpr Names<1> kCheckCircle{"emblem-default-symbolic"};
constexpr Names<1> kCheck{"object-select-symbolic"};
constexpr Names<1> kCopy{"edit-copy-symbolic"};
constexpr Names<1> kShare{"document-send-symbolic"};
constexpr Names<1> kChevronRight{"go-next-symbolic"};
constexpr Names<1> kChevronLeft{"go-previous-symbolic"};
constexpr Names<1> kArrowUp{"go-up-symbolic"};
constexpr Names<1> kNumber{"format-number"};
constexpr Names<1> kClose{"window-close-symbolic"};
constexpr Names<1> kCloseCircle{"dialog-close"};
constexpr Names<1> kBolt{"thunderbolt-symbolic"};
constexpr Names<1> kShield{"security-high-symbolic"};
constexpr Names<1> kShieldHalf{"security-medium-symbolic"};
constexpr Names<1> kSync{"emblem-synchronizing-symbolic"};

const std::array kTable = {
    // File kinds.
    IconEntry{"folder.fill", kFolder, nullptr},
    IconEntry{"folder", kFolder, nullptr},
    IconEntry{"photo", kImage, nullptr},
    IconEntry{"film", kVideo, nullptr},
    IconEntry{"music.note", kAudio, nullptr},
    IconEntry{"doc.richtext", kRichText, nullptr},
    IconEntry{"doc.text", kDocument, nullptr},
    IconEntry{"tablecells", kSpreadsheet, nullptr},
    IconEntry{"rectangle.split.3x1", kPresentation, nullptr},
    IconEntry{"chevron.left.forwardslash.chevron.right", kCode,
              ":/quorvale/icons/code-symbolic.svg"},
    IconEntry{"globe", kGlobe, nullptr},
    IconEntry{"paintbrush", kBrush, nullptr},
    IconEntry{"gearshape", kGear, nullptr},
    IconEntry{"terminal", kTerminal, nullptr},
    IconEntry{"doc.plaintext", kPlainText, nullptr},
    IconEntry{"archivebox", kArchive, nullptr},
    IconEntry{"opticaldisc", kOptical, nullptr},
    IconEntry{"gearshape.2", kGears, nullptr},
    IconEntry{"cpu", kFirmware, nullptr},
    IconEntry{"memorychip", kExecutable, nullptr},
    IconEntry{"doc", kPlainText, nullptr},
    // Window, toolbar and sidebar.
    IconEntry{"square.grid.2x2", kGrid, nullptr},
    IconEntry{"list.bullet", kList, nullptr},
    IconEntry{"sidebar.trailing", kSidebar, nullptr},
    IconEntry{"chart.pie", kChartPie, ":/quorvale/icons/chart-pie-symbolic.svg"},
    IconEntry{"exclamationmark.triangle.fill", kWarning, nullptr},
    IconEntry{"eject.fill", kEject, nullptr},
    IconEntry{"eject", kEject, nullptr},
    IconEntry{"sdcard", kSdCard, nullptr},
    IconEntry{"externaldrive", kRemovable, nullptr},
    IconEntry{"externaldrive.fill", kUsbDrive, nullptr},
    IconEntry{"internaldrive", kHardDisk, nullptr},
    IconEntry{"internaldrive.fill", kHardDisk, nullptr},
    // Browser, preview and status views.
    IconEntry{"magnifyingglass", kSearch, nullptr},
    IconEntry{"doc.text.magnifyingglass", kFind, nullptr},
    IconEntry{"checkmark.circle.fill", kCheckCircle, nullptr},
    IconEntry{"checkmark", kCheck, nullptr},
    IconEntry{"doc.on.clipboard", kCopy, nullptr},
    IconEntry{"square.and.arrow.up", kShare, nullptr},
    IconEntry{"chevron.right", kChevronRight, nullptr},
    IconEntry{"chevron.left", kChevronLeft, nullptr},
    IconEntry{"arrow.up", kArrowUp, nullptr},
    IconEntry{"number", kNumber, ":/quorvale/icons/number-symbolic.svg"},
    IconEntry{"xmark", kClose, nullptr},
    IconEntry{"xmark.circle.fill", kCloseCircle, ":/quorvale/icons/xmark-circle-symbolic.svg"},
    // Setup and settings.
    IconEntry{"bolt.fill", kBolt, nullptr},
    IconEntry{"lock.shield.fill", kShield, nullptr},
    IconEntry{"lock.shield", kShield, nullptr},
    IconEntry{"shield.checkered", kShieldHalf, nullptr},
    IconEntry{"arrow.triangle.2.circlepath", kSync, nullptr},
    IconEntry{"gear", kGear, nullptr},
};

const IconEntry* find(const QString& symbol) {
    for (const IconEntry& entry : kTable) {
        if (symbol == QLatin1String(entry.symbol))
            return &entry;
    }
    return nullptr;
}

QStringList xdgIconDirectories() {
    QStringList dirs{QDir::homePath() + QStringLiteral("/.icons")};
    dirs += QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                      QStandardPaths::LocateDirectory);
    return dirs;
}

// Files of the fallback theme by icon name (scalable first, then fixed sizes), for names the
// user's theme cannot reach: Qt consults the fallback theme only for themes that inherit
// nothing, and most installed themes inherit hicolor.
const QHash<QString, QStringList>& fallbackThemeFiles() {
    static const QHash<QString, QStringList> files = [] {
        QHash<QString, QStringList> byName;
        for (const QString& root : QIcon::themeSearchPaths()) {
            const QString themeDir = root + QLatin1Char('/') + QLatin1String(kFallbackThemeName);
            if (root.startsWith(QLatin1Char(':')) || !QFileInfo::exists(themeDir))
                continue;
            QDirIterator it(themeDir, {QStringLiteral("*.svg"), QStringLiteral("*.png")},
                            QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QFileInfo file(it.next());
                QStringList& list = byName[file.completeBaseName()];
                if (file.suffix() == QLatin1String("svg"))
                    list.prepend(file.filePath());
                else
                    list.append(file.filePath());
            }
        }
        return byName;
    }();
    return files;
}

QIcon fromFallbackTheme(const QString& name) {
    const QStringList files = fallbackThemeFiles().value(name);
    if (files.isEmpty())
        return {};
    if (files.first().endsWith(QLatin1String(".svg")))
        return QIcon(files.first());
    QIcon icon;
    for (const QString& file : files)
        icon.addFile(file);
    return icon;
}

QIcon resolve(const QString& symbol) {
    const IconEntry* entry = find(symbol);
    if (!entry)
        return {};
    for (const char* name : entry->names) {
        const QString themeName = QLatin1String(name);
        if (QIcon::hasThemeIcon(themeName))
            return QIcon::fromTheme(themeName);
    }
    if (entry->bundled)
        return QIcon(QLatin1String(entry->bundled));
    for (const char* name : entry->names) {
        QIcon fallback = fromFallbackTheme(QLatin1String(name));
        if (!fallback.isNull())
            return fallback;
    }
    return {};
}

}  // namespace

std::span<const IconEntry> table() {
    return kTable;
}

void installThemeFallback() {
    static const bool done = [] {
        initIconResources();
        QStringList paths = QIcon::themeSearchPaths();
        for (const QString& dir : xdgIconDirectories()) {
            if (!paths.contains(dir) && QDir(dir).exists())
                paths.append(dir);
        }
        QIcon::setThemeSearchPaths(paths);
        QIcon::setFallbackThemeName(QLatin1String(kFallbackThemeName));
        if (QIcon::themeName().isEmpty())
            QIcon::setThemeName(QLatin1String(kFallbackThemeName));
        return true;
    }();
    (void)done;
}

QIcon icon(const QString& symbol) {
    installThemeFallback();
    // Resolved icons are kept until the theme changes; list and grid delegates ask per row.
    static QHash<QString, QIcon> cache;
    static QString cachedTheme;
    if (cachedTheme != QIcon::themeName()) {
        cache.clear();
        cachedTheme = QIcon::themeName();
    }
    auto it = cache.constFind(symbol);
    if (it == cache.constEnd())
        it = cache.insert(symbol, resolve(symbol));
    return *it;
}

QPixmap tintedPixmap(const QString& symbol, int size, const QColor& tint) {
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    const QString key = QStringLiteral("quorvale-icon:%1:%2:%3:%4:%5")
                            .arg(symbol, QIcon::themeName())
                            .arg(size)
                            .arg(tint.rgba(), 0, 16)
                            .arg(ratio);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached))
        return cached;
    const QSize pixels = QSize(size, size) * ratio;
    QImage image = icon(symbol)
                       .pixmap(QSize(size, size), ratio)
                       .toImage()
                       .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    if (image.size() != pixels)
        image = image.scaled(pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), tint);
    painter.end();
    QPixmap pixmap = QPixmap::fromImage(std::move(image));
    pixmap.setDevicePixelRatio(ratio);
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

QIcon tintedIcon(const QString& symbol, int size, const QColor& tint) {
    return QIcon(tintedPixmap(symbol, size, tint));
}

QPixmap withLinkEmblem(const QPixmap& pixmap) {
    if (pixmap.isNull())
        return pixmap;
    QPixmap out = pixmap;
    const QSizeF logical = out.deviceIndependentSize();
    const qreal side = std::max<qreal>(7, logical.width() * 0.5);
    const QRectF disc(0, logical.height() - side, side, side);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0, 0, 0, 90), std::max<qreal>(0.5, side / 14)));
    painter.setBrush(QColor(255, 255, 255, 235));
    painter.drawEllipse(disc.adjusted(0.5, 0.5, -0.5, -0.5));
    // An arrow turning up and right, the usual mark of a link.
    const qreal u = side / 10;
    const QPointF o = disc.topLeft();
    QPainterPath arrow;
    arrow.moveTo(o + QPointF(3 * u, 7.5 * u));
    arrow.cubicTo(o + QPointF(3 * u, 5 * u), o + QPointF(4.5 * u, 4 * u),
                  o + QPointF(7 * u, 4 * u));
    QPainterPath head;
    head.moveTo(o + QPointF(5.5 * u, 2.3 * u));
    head.lineTo(o + QPointF(7.3 * u, 4 * u));
    head.lineTo(o + QPointF(5.5 * u, 5.7 * u));
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(40, 40, 40), std::max<qreal>(1, 1.3 * u), Qt::SolidLine,
                        Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(arrow);
    painter.drawPath(head);
    return out;
}

}  // namespace quorvale::ui::icons
