// The status views: VM indicator texts and colours, the error banner's slide and dismissal, the
// empty state's texts and the loading overlay.

#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "screenshot.h"
#include "ui/browser/empty_state_view.h"
#include "ui/common/error_banner.h"
#include "ui/common/loading_overlay.h"
#include "ui/common/progress_spinner.h"
#include "ui/common/theme.h"
#include "ui/setup/boot_overlay.h"
#include "ui/sidebar/vm_status_indicator.h"

namespace quorvale::ui {
namespace {

using Status = VMIndicatorStatus;

// The colour at the dot's centre (8 px dot in a 16 px area, vertically centred).
QColor dotPixel(const QImage& image) {
    return image.pixelColor(8, image.height() / 2);
}

TEST(VMStatusIndicator, ErrorShowsMessageInTextTooltipAndAccessibleName) {
    VMStatusIndicator indicator;
    indicator.setStatus(Status::error(QStringLiteral("QEMU exited with status 1")));
    const QString expected = QStringLiteral("VM Error: QEMU exited with status 1");
    EXPECT_EQ(indicator.text(), expected);
    EXPECT_EQ(indicator.toolTip(), expected);
    EXPECT_EQ(indicator.accessibleName(), expected);
    indicator.show();
    EXPECT_EQ(dotPixel(indicator.grab().toImage()).rgb(), theme::statusError().rgb());
}

TEST(VMStatusIndicator, LongErrorIsElidedButTheTooltipKeepsItWhole) {
    const QString message(200, QLatin1Char('x'));
    VMStatusIndicator indicator;
    indicator.setStatus(Status::error(message));
    indicator.resize(220, indicator.sizeHint().height());
    EXPECT_EQ(indicator.toolTip(), QStringLiteral("VM Error: ") + message);
    EXPECT_LE(indicator.minimumSizeHint().width(), 220);
}

TEST(VMStatusIndicator, LabelsAndDotsPerStatus) {
    struct Case {
        Status status;
        const char* text;
        QColor dot;
    };
    const Case cases[] = {
        {Status::stopped(), "VM Stopped", theme::statusStopped()},
        {Status::booting(), "Booting VM…", theme::systemOrange()},
        {Status::running(), "VM Running", theme::statusRunning()},
        {Status::error(QStringLiteral("Kernel panic")), "VM Error: Kernel panic",
         theme::statusError()},
    };
    // A sidebar-wide footer holding one indicator per status.
    QWidget footer;
    auto* column = new QVBoxLayout(&footer);
    QList<VMStatusIndicator*> indicators;
    for (const Case& c : cases) {
        auto* indicator = new VMStatusIndicator;
        indicator->setStatus(c.status);
        column->addWidget(indicator);
        indicators.append(indicator);
    }
    test::saveScreenshot(footer, QStringLiteral("vm_status"), QSize(260, 120));
    for (qsizetype i = 0; i < indicators.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(indicators[i]->text(), QString::fromUtf8(c.text));
        EXPECT_EQ(indicators[i]->toolTip(), QString::fromUtf8(c.text));
        // The dot is drawn over the window background; compare the colour that produces.
        QImage expected(1, 1, QImage::Format_ARGB32);
        expected.fill(footer.palette().color(QPalette::Window));
        QPainter painter(&expected);
        painter.fillRect(0, 0, 1, 1, c.dot);
        painter.end();
        EXPECT_EQ(dotPixel(indicators[i]->grab().toImage()).rgb(), expected.pixelColor(0, 0).rgb())
            << c.text;
    }
}

TEST(VMStatusIndicator, PulsesOnlyWhileBootingAndVisible) {
    VMStatusIndicator indicator;
    indicator.show();
    indicator.setStatus(Status::booting());
    EXPECT_TRUE(indicator.isPulsing());
    indicator.hide();
    EXPECT_FALSE(indicator.isPulsing());
    indicator.show();
    EXPECT_TRUE(indicator.isPulsing());
    indicator.setStatus(Status::running());
    EXPECT_FALSE(indicator.isPulsing());
}

class ErrorBannerTest : public testing::Test {
protected:
    void SetUp() override {
        host.resize(640, 400);
        host.show();
        banner = new ErrorBanner(&host);
    }

    // Waits until the banner is at rest at the top of the host.
    bool settledIn() {
        return QTest::qWaitFor([&] { return banner->isVisible() && banner->pos().y() == 4; }, 3000);
    }

    QWidget host;
    ErrorBanner* banner = nullptr;
};

TEST_F(ErrorBannerTest, SlidesInAtTheTopAcrossTheHost) {
    banner->setMessage(QStringLiteral(
        "VM is not running. Please select an EXT4 partition to start the VM first."));
    EXPECT_FALSE(banner->isVisible());
    banner->showBanner();
    EXPECT_TRUE(banner->isShown());
    EXPECT_LT(banner->pos().y(), 0);  // starts above the top edge
    ASSERT_TRUE(settledIn());
    // 12 px from the left and right edges once the 8 px shadow margin is taken off.
    EXPECT_EQ(banner->geometry().left(), 4);
    EXPECT_EQ(banner->geometry().right(), host.width() - 1 - 4);
    host.resize(800, 400);
    EXPECT_EQ(banner->geometry().right(), 800 - 1 - 4);
    test::saveScreenshot(host, QStringLiteral("error_banner"));
}

TEST_F(ErrorBannerTest, DismissButtonHidesItAndReportsIt) {
    banner->setMessage(QStringLiteral("Failed to load disk usage: Request timed out"));
    banner->showBanner();
    ASSERT_TRUE(settledIn());
    QSignalSpy dismissed(banner, &ErrorBanner::dismissed);
    QTest::mouseClick(banner->dismissButton(), Qt::LeftButton);
    EXPECT_EQ(dismissed.count(), 1);
    EXPECT_FALSE(banner->isShown());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !banner->isVisible(); }, 3000));
}

TEST_F(ErrorBannerTest, ShowingAgainWhileGoingOutKeepsItShown) {
    banner->setMessage(QStringLiteral("Eject failed"));
    banner->showBanner();
    ASSERT_TRUE(settledIn());
    banner->hideBanner();
    QTest::qWait(50);
    banner->showBanner();
    ASSERT_TRUE(settledIn());
    // The finished hide would have hidden it by now.
    QTest::qWait(static_cast<int>(theme::springDuration.count()) + 100);
    EXPECT_TRUE(banner->isVisible());
    EXPECT_EQ(banner->pos().y(), 4);
}

TEST_F(ErrorBannerTest, LongMessageWrapsInsideTheHost) {
    banner->setMessage(QStringLiteral("Failed to load disk usage: ") +
                       QString(300, QLatin1Char('m')));
    banner->showBanner();
    ASSERT_TRUE(settledIn());
    EXPECT_LE(banner->width(), host.width());
    EXPECT_GT(banner->height(), 60);
}

TEST(EmptyStateView, ShowsTheInvitationAndFeatures) {
    EmptyStateView view;
    EXPECT_EQ(view.titleText(), QStringLiteral("Insert an SD Card to Begin"));
    EXPECT_EQ(view.messageText(),
              QStringLiteral(
                  "Quorvale will detect EXT4 partitions\nautomatically and let you browse files."));
    EXPECT_EQ(view.featureTexts(),
              (QStringList{QStringLiteral("Full read & write EXT4 support"),
                           QStringLiteral("No kernel modules or root mounts required"),
                           QStringLiteral("Cards stay isolated from the host kernel")}));
    test::saveScreenshot(view, QStringLiteral("empty_state"), QSize(700, 560));
    EXPECT_TRUE(view.isAnimating());
    view.hide();
    EXPECT_FALSE(view.isAnimating());
}

TEST(LoadingOverlay, SpinsAndPulsesOnlyWhileVisible) {
    LoadingOverlay overlay;
    test::saveScreenshot(overlay, QStringLiteral("loading_overlay"), QSize(300, 200));
    EXPECT_EQ(overlay.spinner()->diameter(), 38);  // 1.2 times the regular 32
    EXPECT_TRUE(overlay.isAnimating());
    EXPECT_TRUE(overlay.spinner()->isSpinning());
    overlay.hide();
    EXPECT_FALSE(overlay.isAnimating());
    EXPECT_FALSE(overlay.spinner()->isSpinning());
}

TEST(BootOverlay, CoversTheHostAndReportsCancel) {
    QWidget host;
    host.resize(700, 500);
    host.show();
    BootOverlay overlay(&host);
    EXPECT_FALSE(overlay.isVisible());
    overlay.show();
    EXPECT_EQ(overlay.geometry(), host.rect());
    host.resize(900, 600);
    EXPECT_EQ(overlay.geometry(), host.rect());
    EXPECT_EQ(overlay.text(), QStringLiteral("Booting VM..."));
    EXPECT_EQ(overlay.spinner()->diameter(), 48);  // 1.5 times the regular 32
    test::saveScreenshot(host, QStringLiteral("boot_overlay"));

    QSignalSpy cancel(&overlay, &BootOverlay::cancelRequested);
    QTest::mouseClick(overlay.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(cancel.count(), 1);
}

}  // namespace
}  // namespace quorvale::ui
