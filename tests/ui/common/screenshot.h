#pragma once
// Renders a widget offscreen to <build dir>/screenshots/<name>.png for looking at by eye.

#include <QImage>
#include <QSize>
#include <QString>

class QWidget;

namespace quorvale::test {

// Shows `widget` as a window of `size` (when empty: the size it was given, else its size
// hint), lets pending
// layout and paint events run, grabs it and writes the PNG. Returns the grabbed image; the
// file lands in $QUORVALE_BUILD_DIR/screenshots (the build tree holding the test executable
// when unset).
QImage saveScreenshot(QWidget& widget, const QString& name, QSize size = {});

// The directory screenshots are written to.
QString screenshotDirectory();

}  // namespace quorvale::test
