#include "screenshot.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QWidget>

#include <gtest/gtest.h>

namespace quorvale::test {

QString screenshotDirectory() {
    // Test executables live in <build dir>/tests/<folder>.
    QString build = qEnvironmentVariable("QUORVALE_BUILD_DIR");
    if (build.isEmpty())
        build =
            QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../.."));
    return QDir::cleanPath(QDir(build).filePath(QStringLiteral("screenshots")));
}

QImage saveScreenshot(QWidget& widget, const QString& name, QSize size) {
    if (!size.isEmpty())
        widget.resize(size);
    else if (!widget.testAttribute(Qt::WA_Resized))
        widget.resize(widget.sizeHint().expandedTo(widget.minimumSizeHint()));
    if (!widget.isVisible())
        widget.show();
    QApplication::processEvents();
    const QImage image = widget.grab().toImage();
    QDir().mkpath(screenshotDirectory());
    const QString path = QDir(screenshotDirectory()).filePath(name + QStringLiteral(".png"));
    EXPECT_TRUE(image.save(path)) << path.toStdString();
    return image;
}

}  // namespace quorvale::test
