#pragma once

// The welcome window, the clipboard panel and the tray item, on Qt Quick.
// The controller builds FlowModel, gives it itself (setApp), constructs
// QtViews with the model and calls setup once; from then on it uses only the
// Views interface. The application object must be a QApplication for the
// tray item to appear.
#include "ports.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QRectF>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <optional>

class QQmlEngine;
class QQuickWindow;
class QScreen;

namespace zephlink {

class FlowModel;

class QtViews : public QObject, public Views {
    Q_OBJECT

public:
    // The model must outlive the views.
    explicit QtViews(FlowModel* model, QObject* parent = nullptr);
    ~QtViews() override;

    void setup(bool designPreview, std::function<void()> onTray) override;
    void showWelcome() override;
    void hideWelcome() override;
    bool welcomeVisible() const override;
    void showPanel() override;
    void hidePanel() override;
    bool panelVisible() const override;
    void resizePanel() override;

    // The windows are made on first use, and again after a release.
    QQuickWindow* welcomeWindow();
    QQuickWindow* panelWindow();
    QQmlEngine* engine() const { return engine_.get(); }

    // Qt Quick's software renderer for every window, unless the user chose
    // one: the views are small and mostly still, and a GL driver costs tens
    // of MiB. Called before the first window.
    static void chooseRenderer();

    // Both windows hidden this long, their scenes and the QML engine are
    // released; a later show makes them again.
    static constexpr int kReleaseAfterMs = 5000;
    static constexpr int kTrimAfterReleaseMs = 200;
    void setReleaseDelay(int ms) { releaseAfterMs_ = ms; }
    // True when no window or engine is held.
    bool released() const { return !engine_ && !welcome_ && !panel_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // What the panel hangs from, in screen coordinates, and on which screen.
    QRectF panelAnchor(QScreen** screen = nullptr) const;

    // A tray activation that arrives this soon after the panel hid itself
    // is the click that hid it: it must not open the panel again.
    static constexpr int kTrayClickGraceMs = 400;

    // The tray item was activated with the pointer at position; what a
    // click on the tray item does. Public for tests without a tray.
    void trayActivated(QPoint position);

    // Room around the panel's card for its shadow, where the desktop
    // composites windows.
    static constexpr int kShadowInset = 16;
    // Where the panel's card is on screen: the panel window's frame less
    // the shadow's room.
    QRect panelCard() const;
    // Replaces the check for a compositing desktop (tests, on a platform
    // that has none).
    void setCompositingCheck(std::function<bool()> check) { composites_ = std::move(check); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::unique_ptr<QQuickWindow> createWindow(const QString& file);
    void makeWelcome();
    void makePanel();
    // Starts the release countdown when neither window shows.
    void scheduleRelease();
    void release();
    void panelActiveChanged();
    void hidePanelByItself();
    void watchScreen(QScreen* screen);
    void screensChanged();

    QPointer<FlowModel> model_;
    // Declared before the windows so that they go first.
    std::unique_ptr<QQmlEngine> engine_;
    std::unique_ptr<QQuickWindow> welcome_;
    std::unique_ptr<QQuickWindow> panel_;
    QSystemTrayIcon* tray_ = nullptr;
    std::function<void()> onTray_;
    std::function<bool()> composites_;
    std::optional<QPoint> activationPoint_;
    QElapsedTimer hiddenByItself_;
    // A native Wayland window cannot place itself: the panel is then an
    // ordinary window that the compositor places.
    bool placeable_ = true;
    bool designPreview_ = false;
    int releaseAfterMs_ = kReleaseAfterMs;
    QTimer* releaseTimer_ = nullptr;
};

} // namespace zephlink
