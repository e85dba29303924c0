// Grid tiles of image files show their pictures once made, without waiting for them.

#include <QBuffer>
#include <QImage>

#include "app/preview/thumbnail_cache.h"
#include "browser_fixture.h"
#include "ui/common/screenshot.h"

namespace quorvale::test {
namespace {

QByteArray png(const QColor& color, QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    // A stripe, so that a picture is told from a flat symbol.
    for (int x = 0; x < size.width(); ++x)
        for (int y = size.height() / 2; y < size.height() / 2 + 4; ++y)
            image.setPixelColor(x, y, Qt::white);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

TEST_F(BrowserTest, GridTilesShowThePicturesOfImageFiles) {
    agent.writeFile("sunset.png", png(QColor(230, 90, 20), {300, 200}));
    agent.writeFile("forest.png", png(QColor(20, 140, 60), {200, 300}));
    agent.writeFile("notes.txt", "text");
    open();
    ui::FileItemModel* model = view->itemModel();
    const auto rowOf = [&](const QString& name) { return model->rowOf("/" + name); };
    // The first paint asks; the pictures come later.
    ASSERT_TRUE(testing::spinUntil([&] {
        return model->index(rowOf("sunset.png"), 0)
                   .data(ui::FileItemModel::thumbnailRole)
                   .isValid() &&
               model->index(rowOf("forest.png"), 0)
                   .data(ui::FileItemModel::thumbnailRole)
                   .isValid();
    }));
    EXPECT_FALSE(
        model->index(rowOf("notes.txt"), 0).data(ui::FileItemModel::thumbnailRole).isValid());
    QTest::qWait(50);
    const QImage grid = view->grid()->viewport()->grab().toImage();
    const QRect tile = view->grid()->visualRect(model->index(rowOf("sunset.png"), 0));
    // The icon area's centre holds the picture's colour, not a symbol's.
    const QPoint centre(tile.center().x(), tile.top() + 2 + 4 + 36 - 12);
    const QColor painted = grid.pixelColor(centre * grid.devicePixelRatio());
    EXPECT_NEAR(painted.red(), 230, 12);
    EXPECT_NEAR(painted.green(), 90, 12);
    saveScreenshot(*view, "browser_grid_thumbnails", {900, 500});
}

}  // namespace
}  // namespace quorvale::test
