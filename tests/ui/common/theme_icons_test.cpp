// The icon table resolves every symbol the views use to a drawable icon in any installed theme,
// and the shared fonts and animation curve behave as the views rely on.

#include <QFontInfo>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>

#include <gtest/gtest.h>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

// Every symbol named by the file model and the views.
const QStringList kUsedSymbols = {
    // File kinds.
    "folder.fill", "photo", "film", "music.note", "doc.richtext", "doc.text", "tablecells",
    "rectangle.split.3x1", "chevron.left.forwardslash.chevron.right", "globe", "paintbrush",
    "gearshape", "terminal", "doc.plaintext", "archivebox", "opticaldisc", "gearshape.2", "cpu",
    "memorychip", "doc",
    // Window, sidebar and alerts.
    "square.grid.2x2", "list.bullet", "sidebar.trailing", "chart.pie",
    "exclamationmark.triangle.fill", "eject.fill", "sdcard", "externaldrive", "internaldrive",
    "internaldrive.fill",
    // Browser, preview and status views.
    "magnifyingglass", "folder", "checkmark.circle.fill", "doc.on.clipboard", "square.and.arrow.up",
    "doc.text.magnifyingglass", "number", "xmark", "xmark.circle.fill", "chevron.left",
    "chevron.right", "arrow.up",
    // Setup and settings.
    "externaldrive.fill", "bolt.fill", "lock.shield.fill", "arrow.triangle.2.circlepath",
    "shield.checkered", "lock.shield", "gear"};

bool hasVisiblePixels(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) > 64)
                return true;
        }
    }
    return false;
}

class IconThemes : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        saved = QIcon::themeName();
        if (*GetParam())
            QIcon::setThemeName(QLatin1String(GetParam()));
    }
    void TearDown() override { QIcon::setThemeName(saved); }
    QString saved;
};

TEST_P(IconThemes, EveryTableEntryDrawsSomething) {
    for (const icons::IconEntry& entry : icons::table()) {
        const QString symbol = QLatin1String(entry.symbol);
        const QIcon icon = icons::icon(symbol);
        ASSERT_FALSE(icon.isNull()) << entry.symbol;
        const QPixmap pixmap = icon.pixmap(32, 32);
        ASSERT_FALSE(pixmap.isNull()) << entry.symbol;
        EXPECT_TRUE(hasVisiblePixels(pixmap.toImage())) << entry.symbol;
    }
}

// "" keeps the theme chosen by installThemeFallback(); hicolor has none of the names, so every
// icon must come from the fallback theme or the bundled ones.
INSTANTIATE_TEST_SUITE_P(Themes, IconThemes, testing::Values("", "hicolor", "breeze"));

TEST(IconTable, CoversEverySymbolTheViewsUse) {
    for (const QString& symbol : kUsedSymbols)
        EXPECT_FALSE(icons::icon(symbol).isNull()) << symbol.toStdString();
    EXPECT_TRUE(icons::icon(QStringLiteral("no.such.symbol")).isNull());
}

TEST(IconTable, TintPaintsTheGlyphInTheGivenColour) {
    const QImage image =
        icons::tintedPixmap(QStringLiteral("folder.fill"), 24, theme::accent()).toImage();
    ASSERT_FALSE(image.isNull());
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() == 255) {
                ++opaque;
                EXPECT_EQ(pixel.rgb(), theme::accent().rgb());
            }
        }
    }
    EXPECT_GT(opaque, 24);
}

// Every character of a hex row takes the same width (some monospaced families, such as Noto
// Sans Mono, are not flagged fixed-pitch by fontconfig, so the flag proves nothing).
TEST(Theme, MonoGivesHexRowsOneWidthAtThirteenPixels) {
    const QFont font = theme::mono();
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QLatin1Char('0'));
    for (const QChar c : QStringLiteral("0123456789abcdefABCDEF .|~#@WiMl"))
        EXPECT_EQ(metrics.horizontalAdvance(c), width)
            << QFontInfo(font).family().toStdString() << ": '" << c.toLatin1() << "'";
    EXPECT_EQ(QFontInfo(font).pixelSize(), 13);
}

TEST(Theme, SpringStartsAtZeroLandsOnOneAndBarelyOvershoots) {
    const QEasingCurve spring = theme::springStandard();
    EXPECT_EQ(spring.valueForProgress(0.0), 0.0);
    EXPECT_EQ(spring.valueForProgress(1.0), 1.0);
    double peak = 0.0;
    for (int i = 0; i <= 1000; ++i)
        peak = std::max(peak, spring.valueForProgress(i / 1000.0));
    EXPECT_GT(peak, 1.0);
    EXPECT_LT(peak, 1.01);
    // Most of the way there by half time, as a responsive spring is.
    EXPECT_GT(spring.valueForProgress(0.5), 0.95);
}

}  // namespace
}  // namespace quorvale::ui
