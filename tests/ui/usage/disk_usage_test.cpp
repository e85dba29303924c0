// The disk-usage sheet: bar colours at the thresholds, the figures from the guest's partition
// record (missing or odd values), the entry list, and the close button.

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <limits>

#include "ui/common/screenshot.h"
#include "ui/common/theme.h"
#include "ui/common/usage_bar.h"
#include "ui/usage/disk_usage_view.h"

namespace quorvale::ui {
namespace {

QVariantMap entry(const QString& name, QVariant size, QVariant isDirectory) {
    return {{QStringLiteral("name"), name},
            {QStringLiteral("size"), std::move(size)},
            {QStringLiteral("is_directory"), std::move(isDirectory)}};
}

QVariantMap entry(const QString& name, qlonglong size, bool isDirectory, qlonglong allocated) {
    QVariantMap e = entry(name, size, isDirectory);
    e.insert(QStringLiteral("allocated"), allocated);
    return e;
}

QVariantMap partition(QVariant total, QVariant free) {
    QVariantMap record{{QStringLiteral("name"), QStringLiteral("vda2")}};
    if (total.isValid())
        record.insert(QStringLiteral("total_bytes"), std::move(total));
    if (free.isValid())
        record.insert(QStringLiteral("free_bytes"), std::move(free));
    return record;
}

// The colour painted `x` pixels into a bar of 200 x 24 showing `fraction`.
QColor paintedAt(double fraction, int x) {
    UsageBar bar;
    bar.setFraction(fraction);
    bar.resize(200, 24);
    return bar.grab().toImage().pixelColor(x, 12);
}

TEST(UsageBar, ColourThresholds) {
    // Used shares computed from byte counts as the sheet does: 75 %, 90 %, 90.1 %.
    const auto share = [](quint64 total, quint64 free) {
        return DiskUsageData{{}, total, free, {}}.usedFraction();
    };
    EXPECT_EQ(UsageBar::fillColor(share(1000, 250)), theme::accent());
    EXPECT_EQ(UsageBar::fillColor(share(1000, 249)), theme::systemOrange());
    EXPECT_EQ(UsageBar::fillColor(share(1000, 100)), theme::systemOrange());
    EXPECT_EQ(UsageBar::fillColor(share(1000, 99)), theme::systemRed());
    EXPECT_EQ(UsageBar::fillColor(share(1000, 0)), theme::systemRed());

    EXPECT_EQ(paintedAt(0.75, 100).rgb(), theme::accent().rgb());
    EXPECT_EQ(paintedAt(0.9, 100).rgb(), theme::systemOrange().rgb());
    EXPECT_EQ(paintedAt(0.901, 100).rgb(), theme::systemRed().rgb());
}

TEST(UsageBar, FillCoversTheFractionOfTheWidth) {
    EXPECT_EQ(paintedAt(0.5, 90).rgb(), theme::accent().rgb());
    EXPECT_EQ(paintedAt(0.5, 110).rgb(), theme::surfaceSunken().rgb());
    EXPECT_EQ(paintedAt(0.0, 12).rgb(), theme::surfaceSunken().rgb());
    EXPECT_EQ(paintedAt(std::numeric_limits<double>::quiet_NaN(), 12).rgb(),
              theme::surfaceSunken().rgb());
    EXPECT_EQ(paintedAt(7.0, 190).rgb(), theme::systemRed().rgb());
}

TEST(DiskUsageData, PartitionRecordFields) {
    // No "free_bytes": nothing free.
    DiskUsageData data = DiskUsageData::fromGuest(QStringLiteral("rootfs"),
                                                  partition(qlonglong(4'000'000'000), {}), {});
    EXPECT_EQ(data.totalBytes, 4'000'000'000u);
    EXPECT_EQ(data.freeBytes, 0u);
    EXPECT_EQ(data.usedFraction(), 1.0);

    EXPECT_EQ(DiskUsageData::unsignedField(partition(QStringLiteral("100"), {}),
                                           QStringLiteral("total_bytes")),
              0u);
    EXPECT_EQ(DiskUsageData::unsignedField(partition(-5, {}), QStringLiteral("total_bytes")), 0u);
    EXPECT_EQ(DiskUsageData::unsignedField(partition(1.5, {}), QStringLiteral("total_bytes")), 0u);
    EXPECT_EQ(DiskUsageData::unsignedField(partition(true, {}), QStringLiteral("total_bytes")), 0u);
    EXPECT_EQ(DiskUsageData::unsignedField(partition(8e9, {}), QStringLiteral("total_bytes")),
              8'000'000'000u);
    EXPECT_EQ(DiskUsageData::unsignedField(partition(std::numeric_limits<qulonglong>::max(), {}),
                                           QStringLiteral("total_bytes")),
              std::numeric_limits<quint64>::max());

    // Free above total: nothing used, empty bar; no total: empty bar.
    EXPECT_EQ((DiskUsageData{{}, 100, 500, {}}).usedBytes(), 0u);
    EXPECT_EQ((DiskUsageData{{}, 100, 500, {}}).usedFraction(), 0.0);
    EXPECT_EQ((DiskUsageData{{}, 0, 0, {}}).usedFraction(), 0.0);
}

TEST(DiskUsageData, EntryFieldsOfTheWrongTypeReadAsAbsent) {
    const DiskUsageEntry folder = DiskUsageEntry::fromDictionary(entry("home", 1234, true));
    EXPECT_EQ(folder.name, QStringLiteral("home"));
    EXPECT_EQ(folder.size, 1234);
    EXPECT_TRUE(folder.isDirectory);

    const DiskUsageEntry odd =
        DiskUsageEntry::fromDictionary({{QStringLiteral("name"), 42},
                                        {QStringLiteral("size"), 12.9},
                                        {QStringLiteral("is_directory"), 1}});
    EXPECT_EQ(odd.name, QString());
    EXPECT_EQ(odd.size, 12);
    EXPECT_FALSE(odd.isDirectory);

    EXPECT_EQ(DiskUsageEntry::fromDictionary(entry("a", QStringLiteral("12"), false)).size, 0);
    EXPECT_EQ(DiskUsageEntry::fromDictionary(entry("a", -7, false)).size, 0);
    EXPECT_EQ(DiskUsageEntry::fromDictionary({}).name, QString());

    EXPECT_EQ(folder.symbol(), QStringLiteral("folder.fill"));
    EXPECT_EQ(DiskUsageEntry::fromDictionary(entry("IMG_0001.JPG", 1, false)).symbol(),
              QStringLiteral("photo"));
    EXPECT_EQ(DiskUsageEntry::fromDictionary(entry("vmlinuz", 1, false)).symbol(),
              QStringLiteral("doc"));
}

TEST(DiskUsageView, MissingFreeBytesShowsZeroFreeAndAFullRedBar) {
    DiskUsageView view;
    view.setData(DiskUsageData::fromGuest(QStringLiteral("rootfs"),
                                          partition(qlonglong(2'000'000'000), {}), {}));
    EXPECT_EQ(view.freeText(), byteCountText(0));
    EXPECT_EQ(view.usedText(), byteCountText(2'000'000'000));
    EXPECT_EQ(view.totalText(), byteCountText(2'000'000'000));
    EXPECT_EQ(view.usageBar()->fraction(), 1.0);
    EXPECT_EQ(UsageBar::fillColor(view.usageBar()->fraction()), theme::systemRed());
}

TEST(DiskUsageView, ShowsTheTwentyLargestEntriesByTheSpaceTheyTakeInTheChartsColours) {
    // The guest's order is by name; the space taken is "allocated", not the listed size.
    QVariantList entries;
    for (int i = 0; i < 25; ++i)
        entries.append(entry(QStringLiteral("entry%1").arg(i), 100'000 - i, i % 2, i * 4096));
    DiskUsageView view;
    view.setData(DiskUsageData::fromGuest(
        QStringLiteral("rootfs"), partition(qlonglong(1'000'000), qlonglong(500'000)), entries));
    const QStringList names = view.entryNames();
    ASSERT_EQ(names.size(), DiskUsageView::kMaxEntries);
    for (int i = 0; i < names.size(); ++i)
        EXPECT_EQ(names[i], QStringLiteral("entry%1").arg(24 - i));
    // The chart's parts are the first eight rows, in their dots' colours and shares.
    const auto parts = view.chartSegments();
    ASSERT_EQ(parts.size(), DiskUsageView::kColouredEntries);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].first, DiskUsageView::dotColor(i));
        EXPECT_DOUBLE_EQ(parts[i].second, (24 - i) * 4096 / 1'000'000.0);
    }
    EXPECT_EQ(DiskUsageView::dotColor(7), theme::systemRed());
    EXPECT_EQ(DiskUsageView::dotColor(8), theme::textTertiary()) << "the rest is grey";

    // A row opens its entry.
    view.resize(DiskUsageView::kSheetSize);
    view.show();
    QSignalSpy chosen(&view, &DiskUsageView::entryChosen);
    QWidget* first = view.entryRowWidgets().at(0);
    QTest::mouseClick(first, Qt::LeftButton, {}, first->rect().center());
    ASSERT_EQ(chosen.count(), 1);
    EXPECT_EQ(chosen[0][0].toString(), "/entry24");
    EXPECT_EQ(chosen[0][1].toBool(), false);

    // Without "allocated" the listed size is used; replacing the data replaces the rows.
    view.setData(DiskUsageData::fromGuest(QStringLiteral("rootfs"), partition({}, {}),
                                          {entry("small", 1, false), entry("big", 9, true)}));
    EXPECT_EQ(view.entryNames(), (QStringList{"big", "small"}));
    EXPECT_TRUE(view.chartSegments().isEmpty()) << "no total, no chart";
}

TEST(DiskUsageView, CloseButtonAsksToDismiss) {
    DiskUsageView view;
    view.show();
    QSignalSpy dismiss(&view, &DiskUsageView::dismissRequested);
    QTest::mouseClick(view.closeButton(), Qt::LeftButton);
    EXPECT_EQ(dismiss.count(), 1);
}

// The same sheet under a dark palette: labels and the sunken track must stay legible.
TEST(DiskUsageView, DarkPaletteScreenshot) {
    const QPalette saved = QApplication::palette();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, QColor(235, 235, 235));
    dark.setColor(QPalette::Base, QColor(40, 40, 40));
    dark.setColor(QPalette::Text, QColor(235, 235, 235));
    dark.setColor(QPalette::PlaceholderText, QColor(235, 235, 235, 140));
    dark.setColor(QPalette::Button, QColor(50, 50, 50));
    dark.setColor(QPalette::ButtonText, QColor(235, 235, 235));
    QApplication::setPalette(dark);
    {
        DiskUsageView view;
        view.setData(DiskUsageData::fromGuest(
            QStringLiteral("rootfs"), partition(qlonglong(8'000'000'000), qlonglong(500'000'000)),
            {entry("usr", qlonglong(1'612'000'000), true), entry("notes.txt", 2048, false)}));
        test::saveScreenshot(view, QStringLiteral("disk_usage_dark"));
        EXPECT_TRUE(theme::isDark());
        EXPECT_LT(theme::surfaceSunken().lightness(), QColor(30, 30, 30).lightness());
    }
    QApplication::setPalette(saved);
}

}  // namespace
}  // namespace quorvale::ui
