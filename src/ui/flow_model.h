#pragma once

#include "flow_lists.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

namespace zephlink {

class FlowController;

// The one observable object behind the views. It mirrors the controller's
// state and keeps the purely visual state (settings page, selection, panel
// height). It holds the controller weakly. The views only read it; what
// they do goes through the actions below.
class FlowModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The controller creates the one FlowModel")
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(zephlink::FlowDeviceList* devices READ deviceList CONSTANT)
    Q_PROPERTY(zephlink::FlowClipList* clips READ clipList CONSTANT)
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(bool automatic READ automatic NOTIFY automaticChanged)
    Q_PROPERTY(bool startAtLogin READ startAtLogin NOTIFY startAtLoginChanged)
    Q_PROPERTY(bool settings READ settings NOTIFY settingsChanged)
    // A string, or null when no clip is selected.
    Q_PROPERTY(QVariant selected READ selected NOTIFY selectedChanged)
    Q_PROPERTY(double panelHeight READ panelHeight NOTIFY panelHeightChanged)

public:
    explicit FlowModel(QObject* parent = nullptr);

    // controller must implement FlowController; it is held weakly.
    void setApp(QObject* controller);
    FlowController* app() const;

    QString status() const { return status_; }
    const QList<NearbyDevice>& devices() const { return devices_.devices(); }
    const QStringList& clips() const { return clips_.texts(); }
    FlowDeviceList* deviceList() { return &devices_; }
    FlowClipList* clipList() { return &clips_; }
    bool running() const { return running_; }
    bool automatic() const { return automatic_; }
    bool startAtLogin() const { return startAtLogin_; }
    bool settings() const { return settings_; }
    QVariant selected() const { return selected_; }
    double panelHeight() const { return panelHeight_; }

    void setStatus(const QString& value);
    void setDevices(const QList<NearbyDevice>& value);
    void setClips(const QStringList& value);
    void setRunning(bool value);
    void setAutomatic(bool value);
    void setStartAtLogin(bool value);
    void setSettings(bool value);
    void setSelected(const QVariant& value);
    void setPanelHeight(double value);

    // Re-reads the controller's state; resizes the panel when it is shown.
    Q_INVOKABLE void refresh();
    // Toggles the settings page and clears the selection; the start-at-login
    // state is read again, since it may have been changed elsewhere.
    Q_INVOKABLE void showSettings();

    // Actions of the views. Each reaches the controller only while it is
    // still there, then refreshes.
    // The header button: "Back" from a selected clip, else the settings page.
    Q_INVOKABLE void headerAction();
    Q_INVOKABLE void selectClip(const QString& text);
    // Pauses or resumes sync; does nothing to the controller in design preview.
    Q_INVOKABLE void toggleSync();
    Q_INVOKABLE void copyClip(const QString& text);
    Q_INVOKABLE void setAutomaticSharing(bool on);
    // The "Start at login" switch.
    Q_INVOKABLE void switchStartAtLogin(bool on);
    Q_INVOKABLE void sendText(const QString& text);
    Q_INVOKABLE void sendClipboard();
    Q_INVOKABLE void showWelcome();
    Q_INVOKABLE void quit();
    // The welcome view's button.
    Q_INVOKABLE void connectFromWelcome();

    // The five sample texts shown with --ui-preview --preview-clips: three
    // short notes and two web addresses.
    static QStringList previewClips();

signals:
    void statusChanged();
    void runningChanged();
    void automaticChanged();
    void startAtLoginChanged();
    void settingsChanged();
    void selectedChanged();
    void panelHeightChanged();

private:
    QString status_;
    FlowDeviceList devices_;
    FlowClipList clips_;
    bool running_ = false;
    bool automatic_ = true;
    bool startAtLogin_ = false;
    bool settings_ = false;
    QVariant selected_;
    double panelHeight_ = 600;
    QPointer<QObject> app_;
};

} // namespace zephlink
