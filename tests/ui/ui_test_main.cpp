// The view tests need a QApplication; without a display they use the
// offscreen platform with a 1280 x 800 screen and the software renderer, so
// that screenshots come out the same everywhere.
#include "flow_theme.h"

#include <QApplication>
#include <QDir>
#include <QQuickWindow>
#include <QTemporaryFile>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // One screen description per process (ctest runs several at once); it
    // is read when the application starts.
    QTemporaryFile screens(QDir::temp().filePath(QStringLiteral("zephlink-screens-XXXXXX.json")));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && screens.open()) {
        screens.write(R"({"screens": [{"name": "main", "x": 0, "y": 0, "width": 1280,
                          "height": 800, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screens.flush();
        qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens.fileName()).toLocal8Bit());
    }
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    zephlink::FlowTheme::registerFonts();
    return RUN_ALL_TESTS();
}
