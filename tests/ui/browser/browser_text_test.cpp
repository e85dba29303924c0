// Texts that never clip and say what things are: names and paths elided in the middle with the
// whole text in the tooltip, symbolic links with their emblem, kind and target, and "disk" for
// disk images where a card would be an SD card.

#include <QFile>
#include <QLabel>

#include "browser_fixture.h"
#include "ui/common/elided_label.h"
#include "ui/common/screenshot.h"
#include "ui/preview/file_preview_panel.h"
#include "ui/sheets/delete_confirmation_sheet.h"
#include "vm/qstring_printer.h"

namespace quorvale::test {
namespace {

QStringList labelTexts(QWidget* root) {
    QStringList out;
    for (QLabel* label : root->findChildren<QLabel*>())
        out << label->text();
    return out;
}

TEST(ElidedLabel, ElidesInTheMiddleOnlyWhenTooNarrowAndKeepsTheWholeInTheTooltip) {
    const QString path = "/home/pi/Pictures/2024/summer/a-rather-long-file-name.png";
    ui::ElidedLabel label(path);
    label.resize(label.sizeHint());
    label.show();
    EXPECT_FALSE(label.isElided());
    EXPECT_EQ(label.text(), path);
    EXPECT_TRUE(label.toolTip().isEmpty());

    label.resize(120, label.height());
    EXPECT_TRUE(label.isElided());
    EXPECT_TRUE(label.text().contains(QChar(0x2026))) << label.text().toStdString();
    EXPECT_TRUE(label.text().startsWith("/h"));
    EXPECT_TRUE(label.text().endsWith("png"));
    EXPECT_LE(label.fontMetrics().horizontalAdvance(label.text()), 120);
    EXPECT_EQ(label.toolTip(), path);
    EXPECT_EQ(label.fullText(), path);
    EXPECT_LT(label.minimumSizeHint().width(), 120) << "layouts may shrink it";

    label.setFullText("short");
    EXPECT_EQ(label.text(), "short");
    EXPECT_TRUE(label.toolTip().isEmpty());
}

TEST_F(BrowserTest, SymbolicLinksShowTheirEmblemKindAndTarget) {
    agent.writeFile("firmware-v2.bin", "v2");
    agent.writeFile("plain.bin", "p");
    ASSERT_TRUE(QFile::link("firmware-v2.bin", agent.rootPath("latest.bin")));
    appState.setShowPreviewPanel(true);
    open();
    ui::FileItemModel* model = view->itemModel();
    int link = -1;
    int plain = -1;
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->item(row).name == "latest.bin")
            link = row;
        if (model->item(row).name == "plain.bin")
            plain = row;
    }
    ASSERT_GE(link, 0);
    ASSERT_GE(plain, 0);
    const auto name = [&](int row, int role) {
        return model->index(row, ui::FileItemModel::name).data(role);
    };
    EXPECT_EQ(name(link, Qt::DisplayRole).toString(), "latest.bin  → firmware-v2.bin");
    EXPECT_EQ(name(link, Qt::EditRole).toString(), "latest.bin") << "renaming edits the name";
    EXPECT_EQ(name(link, ui::FileItemModel::secondaryTextRole).toString(), "→ firmware-v2.bin");
    EXPECT_EQ(name(plain, Qt::DisplayRole).toString(), "plain.bin");
    // Same symbol, but the link's carries the emblem.
    const QImage linkIcon = name(link, Qt::DecorationRole).value<QIcon>().pixmap(16).toImage();
    const QImage plainIcon = name(plain, Qt::DecorationRole).value<QIcon>().pixmap(16).toImage();
    ASSERT_FALSE(linkIcon.isNull());
    EXPECT_EQ(linkIcon.size(), plainIcon.size());
    EXPECT_NE(linkIcon, plainIcon);

    clickTile(link);
    ASSERT_TRUE(testing::spinUntil([&] { return !view->previewViewModel()->isLoadingPreview(); }));
    const auto info = view->previewPanel()->information();
    EXPECT_TRUE(info.contains(std::make_pair(QString("Kind"), QString("Symbolic link"))));
    EXPECT_TRUE(info.contains(std::make_pair(QString("Link Target"), QString("firmware-v2.bin"))));
    saveScreenshot(*view, "browser_symlink", {1000, 640});
}

TEST_F(BrowserTest, LongPathsAreElidedInThePreviewAndWholeInTheTooltip) {
    const QString folder = "a-folder-with-a-name-long-enough-to-need-eliding-in-any-panel";
    agent.makeDirectory(folder);
    agent.writeFile(folder + "/notes.txt", "n");
    appState.setShowPreviewPanel(true);
    open();
    testing::run(view->viewModel()->navigateTo("/" + folder));
    waitForListing();
    clickTile(0);
    ASSERT_TRUE(testing::spinUntil([&] { return !view->previewViewModel()->isLoadingPreview(); }));
    QCoreApplication::processEvents();
    const QString path = "/" + folder + "/notes.txt";
    ui::ElidedLabel* shown = nullptr;
    for (auto* label : view->previewPanel()->findChildren<ui::ElidedLabel*>())
        if (label->fullText() == path)
            shown = label;
    ASSERT_TRUE(shown);
    EXPECT_TRUE(shown->isElided());
    EXPECT_LE(shown->fontMetrics().horizontalAdvance(shown->text()), shown->width());
    EXPECT_EQ(shown->toolTip(), path);
    // The list elides long names in the middle too; the tooltip names the whole entry.
    EXPECT_EQ(view->list()->textElideMode(), Qt::ElideMiddle);
    EXPECT_EQ(view->itemModel()->index(0, 0).data(Qt::ToolTipRole).toString(), "notes.txt");
}

TEST_F(BrowserTest, DiskImagesAreDisksNotSDCards) {
    model::Partition image;
    image.id = image.bsdName = "image0p2";
    image.filesystemType = model::FilesystemType::ext4;
    appState.setSelectedPartition(image);
    agent.writeFile("a.txt", "a");
    open();
    const auto factory = ui::DeleteConfirmationSheet::presenterFactory(appState);
    app::AppAlert alert;
    alert.kind = app::AppAlert::Kind::deleteConfirmation;
    alert.files = view->viewModel()->files();
    std::unique_ptr<QDialog> sheet(factory(alert, view.get()));
    EXPECT_TRUE(labelTexts(sheet.get())
                    .contains("This action cannot be undone. The selected items will be "
                              "permanently removed from the "
                              "disk."));
    model::Partition card = image;
    card.id = card.bsdName = "sdb2";
    appState.setSelectedPartition(card);
    std::unique_ptr<QDialog> cardSheet(factory(alert, view.get()));
    EXPECT_TRUE(labelTexts(cardSheet.get()).join("\n").contains("removed from the SD card."));
}

}  // namespace
}  // namespace quorvale::test
