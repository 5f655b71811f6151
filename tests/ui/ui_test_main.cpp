// The view tests need a QApplication. Unless a platform is named (say xcb
// on Xvfb), they use the offscreen platform with a 1280 x 800 screen and the
// software renderer, so that screenshots come out the same everywhere.
#include "flow_theme.h"

#include <QApplication>
#include <QDir>
#include <QQuickWindow>
#include <QTemporaryFile>
#include <gtest/gtest.h>

// Qt Quick 6.4 keeps the images it decoded last, and their textures, in
// stores that outlive main(); the amount does not grow with the number of
// windows shown. LeakSanitizer would report them at exit. Qt's frames have
// no frame pointers, so matching them needs the slow unwinder.
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:QQuickPixmap::load\n"
           "leak:QSGRenderContext::textureForFactory\n"
           // Registered faces, when a death test exits with the application
           // still alive.
           "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    // One screen description per process (ctest runs several at once); it
    // is read when the application starts.
    QTemporaryFile screens(QDir::temp().filePath(QStringLiteral("zephlink-screens-XXXXXX.json")));
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
