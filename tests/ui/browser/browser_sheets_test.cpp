// The delete confirmation sheet, the preview panel over the real agent, the transfer strip of a
// running upload, and screenshots of each for looking at.

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QStackedWidget>

#include "browser_fixture.h"
#include "ui/browser/transfer_progress.h"
#include "ui/common/screenshot.h"
#include "ui/common/theme.h"
#include "ui/preview/file_preview_panel.h"
#include "ui/sheets/delete_confirmation_sheet.h"

namespace quorvale::test {
namespace {

QList<model::FileItem> files(int count) {
    QList<model::FileItem> out;
    for (int i = 0; i < count; ++i) {
        model::FileItem item;
        item.name = QStringLiteral("file%1.txt").arg(i + 1);
        item.path = item.id = "/" + item.name;
        item.size = 1000 * (i + 1);
        out << item;
    }
    return out;
}

QStringList labelTexts(QWidget* root) {
    QStringList out;
    for (QLabel* label : root->findChildren<QLabel*>())
        if (!label->text().isEmpty())
            out << label->text();
    return out;
}

TEST(DeleteConfirmationSheet, OneFileIsNamedInQuotes) {
    ui::DeleteConfirmationSheet sheet(files(1), nullptr);
    EXPECT_EQ(sheet.titleText(), "Delete \"file1.txt\"?");
    const QStringList texts = labelTexts(&sheet);
    EXPECT_TRUE(texts.contains("file1.txt"));
    EXPECT_FALSE(texts.filter("more").size());
    QSignalSpy rejected(&sheet, &QDialog::rejected);
    sheet.open();
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_EQ(rejected.count(), 1);
}

TEST(DeleteConfirmationSheet, SevenFilesListFiveAndTheRest) {
    ui::DeleteConfirmationSheet sheet(files(7), nullptr);
    EXPECT_EQ(sheet.titleText(), "Delete 7 Items?");
    const QStringList texts = labelTexts(&sheet);
    for (int i = 1; i <= 5; ++i)
        EXPECT_TRUE(texts.contains(QStringLiteral("file%1.txt").arg(i)));
    EXPECT_FALSE(texts.contains("file6.txt"));
    EXPECT_TRUE(texts.contains("and 2 more"));
    EXPECT_TRUE(
        texts.contains("This action cannot be undone. The selected items will be "
                       "permanently removed from the SD card."));
    saveScreenshot(sheet, "browser_delete_sheet");
    QSignalSpy accepted(&sheet, &QDialog::accepted);
    sheet.open();
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_EQ(accepted.count(), 1);
}

QByteArray png() {
    QImage image(240, 160, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 240, 160);
    gradient.setColorAt(0, QColor(250, 140, 60));
    gradient.setColorAt(1, QColor(60, 90, 200));
    painter.fillRect(image.rect(), gradient);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

TEST_F(BrowserTest, PreviewShowsImageTextAndHex) {
    agent.writeFile("photo.png", png());
    agent.writeFile("main.c", "#include <stdio.h>\n\nint main(void) {\n    puts(\"hi\");\n}\n");
    QByteArray binary;
    for (int i = 0; i < 600; ++i)
        binary.append(char(i * 7 % 256));
    agent.writeFile("firmware.bin", binary);
    agent.makeDirectory("docs");
    appState.setShowPreviewPanel(true);
    open();
    ui::FilePreviewPanel* panel = view->previewPanel();
    EXPECT_TRUE(labelTexts(panel).contains("Select a file to preview"));
    EXPECT_EQ(panel->pages()->currentIndex(), 0);

    const auto choose = [&](const QString& name) {
        for (int row = 0; row < view->itemModel()->rowCount(); ++row)
            if (view->itemModel()->item(row).name == name)
                clickTile(row);
        EXPECT_EQ(panel->pages()->currentIndex(), 1);  // "Loading preview…" first
        EXPECT_TRUE(
            testing::spinUntil([&] { return !view->previewViewModel()->isLoadingPreview(); }));
        QCoreApplication::processEvents();
    };
    choose("photo.png");
    EXPECT_FALSE(panel->imageLabel()->pixmap().isNull());
    EXPECT_TRUE(panel->imageLabel()->isVisible());
    EXPECT_EQ(panel->information().first(), std::make_pair(QString("Kind"), QString("PNG File")));
    saveScreenshot(*view, "browser_preview_image", {1000, 640});

    choose("main.c");
    EXPECT_TRUE(panel->textView()->isVisible());
    EXPECT_TRUE(panel->textView()->toPlainText().contains("puts(\"hi\")"));
    EXPECT_EQ(panel->textView()->font().family(), ui::theme::mono().family());
    saveScreenshot(*view, "browser_preview_text", {1000, 640});

    choose("firmware.bin");
    EXPECT_TRUE(panel->hexView()->isVisible());
    EXPECT_EQ(panel->hexCountLabel()->text(), "600 bytes");
    QStringList labels;
    for (const auto& [label, value] : panel->information())
        labels << label;
    EXPECT_EQ(labels, (QStringList{"Kind", "Size", "Modified", "Permissions", "Owner", "Path"}));
    saveScreenshot(*view, "browser_preview_hex", {1000, 640});

    // Rows of 16 bytes that fit the panel at its narrowest and widest, none cut off.
    for (const int width : {240, 300, 360}) {
        view->findChild<QSplitter*>()->setSizes({1000 - width, width});
        QCoreApplication::processEvents();
        ASSERT_EQ(panel->width(), width);
        QPlainTextEdit* hex = panel->hexView();
        const QStringList rows = hex->toPlainText().split('\n');
        ASSERT_EQ(rows.size(), 38);  // 600 bytes
        const QFontMetrics metrics(hex->font());
        EXPECT_GE(hex->font().pixelSize(), ui::FilePreviewPanel::kHexMinPixelSize);
        const int room = hex->viewport()->width() - 2 * int(hex->document()->documentMargin());
        for (const QString& row : rows.mid(0, 37)) {
            EXPECT_LE(metrics.horizontalAdvance(row), room) << width << ": " << row.toStdString();
            EXPECT_EQ(row.section("  ", 1, 1).remove(' ').size(), 32) << row.toStdString();
        }
        if (width == 360) {
            EXPECT_TRUE(panel->hexShowsCharacters());
            saveScreenshot(*view, "browser_preview_hex_wide", {1000, 640});
        }
    }
}

TEST_F(BrowserTest, UploadShowsProgressAndCancels) {
    QTemporaryDir local;
    const QString big = local.filePath("disk-backup.img");
    {
        QFile file(big);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(qint64(256) << 20));
    }
    open();
    view->upload({big});
    ui::TransferProgress* strip = view->transferProgress();
    ASSERT_TRUE(testing::spinUntil(
        [&] { return view->viewModel()->transferBytesDone() > 0 && strip->bar()->value() > 0; }));
    EXPECT_TRUE(strip->isVisible());
    EXPECT_TRUE(strip->detail()->text().contains(" of 268.4 MB") ||
                strip->detail()->text().contains(" of "))
        << strip->detail()->text().toStdString();
    saveScreenshot(*view, "browser_upload", {900, 560});
    QTest::mouseClick(strip->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(testing::spinUntil([&] { return !view->viewModel()->isTransferring(); },
                                   std::chrono::seconds(60)));
    EXPECT_FALSE(strip->isVisible());
    EXPECT_FALSE(appState.activeAlert());  // a cancel is not a failure

    // Time left from the speed so far, and none before there is a speed.
    EXPECT_TRUE(ui::TransferProgress::detailText(50'000'000, 200'000'000, 1'000'000)
                    .endsWith(" · about 3 minutes left"));
    EXPECT_FALSE(ui::TransferProgress::detailText(50'000'000, 200'000'000, 0).contains("left"));
    EXPECT_EQ(ui::TransferProgress::timeLeftText(59), "less than a minute left");
    EXPECT_EQ(ui::TransferProgress::timeLeftText(7500), "about 2 h 5 min left");
}

}  // namespace
}  // namespace quorvale::test
