// Unless a platform is named: offscreen, a 1280 x 800 screen, software.
#include "flow_theme.h"

#include <QApplication>
#include <QDir>
#include <QQuickWindow>
#include <QTemporaryFile>
#include <gtest/gtest.h>

// Qt Quick keeps the images it decoded last beyond main().
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
extern "C" const char* __lsan_default_suppressions() {
    return "leak:QQuickPixmap::load\nleak:QSGRenderContext::textureForFactory\nleak:libfontconfig."
           "so\n";
}

int main(int argc, char** argv) {
    QTemporaryFile screens(QDir::temp().filePath("zephlink-screens-XXXXXX.json"));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && screens.open()) {
        screens.write(R"({"screens": [{"name": "main", "x": 0, "y": 0, "width": 1280,
                          "height": 800, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screens.flush();
        qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens.fileName()).toLocal8Bit());
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }
    testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    zephlink::FlowTheme::registerFonts();
    return RUN_ALL_TESTS();
}
