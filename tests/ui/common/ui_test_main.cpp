// Runs the UI tests inside one QApplication on the offscreen platform (unless a platform is
// chosen explicitly), so test discovery also works without a display.

#include <QApplication>

#include <gtest/gtest.h>

#include "ui/common/icons.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    quorvale::ui::icons::installThemeFallback();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
