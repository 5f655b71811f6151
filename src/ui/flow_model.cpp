#include "flow_model.h"

#include "flow_controller.h"

#include <QThread>

namespace zephlink {

namespace {

const QString kInitialStatus = QStringLiteral("Finding your devices…");
const QString kCopiedLocally = QStringLiteral("Copied locally");

} // namespace

FlowModel::FlowModel(QObject* parent)
    : QObject(parent), status_(kInitialStatus), devices_(this), clips_(this) {}

void FlowModel::setApp(QObject* controller) {
    app_ = controller;
}

FlowController* FlowModel::app() const {
    return dynamic_cast<FlowController*>(app_.data());
}

void FlowModel::setStatus(const QString& value) {
    if (status_ == value)
        return;
    status_ = value;
    emit statusChanged();
}

void FlowModel::setDevices(const QList<NearbyDevice>& value) {
    devices_.setDevices(value);
}

void FlowModel::setClips(const QStringList& value) {
    clips_.setTexts(value);
}

void FlowModel::setRunning(bool value) {
    if (running_ == value)
        return;
    running_ = value;
    emit runningChanged();
}

void FlowModel::setAutomatic(bool value) {
    if (automatic_ == value)
        return;
    automatic_ = value;
    emit automaticChanged();
}

void FlowModel::setStartAtLogin(bool value) {
    if (startAtLogin_ == value)
        return;
    startAtLogin_ = value;
    emit startAtLoginChanged();
}

void FlowModel::setSettings(bool value) {
    if (settings_ == value)
        return;
    settings_ = value;
    emit settingsChanged();
}

void FlowModel::setSelected(const QVariant& value) {
    // Anything but a string (null, undefined from QML) means no selection.
    const QVariant normalised = value.typeId() == QMetaType::QString ? value : QVariant();
    if (selected_ == normalised)
        return;
    selected_ = normalised;
    emit selectedChanged();
}

void FlowModel::setPanelHeight(double value) {
    if (panelHeight_ == value)
        return;
    panelHeight_ = value;
    emit panelHeightChanged();
}

void FlowModel::refresh() {
    Q_ASSERT(QThread::currentThread() == thread());
    FlowController* controller = app();
    if (!controller)
        return;
    setStatus(controller->statusText());
    const std::vector<NearbyDevice> peers = controller->peers();
    setDevices(QList<NearbyDevice>(peers.begin(), peers.end()));
    setClips(controller->history());
    setRunning(controller->isRunning());
    setAutomatic(controller->automaticSending());
    setStartAtLogin(controller->startAtLogin());
    if (controller->clipboardPanelVisible())
        controller->resizeClipboardPanel();
}

void FlowModel::showSettings() {
    setSettings(!settings_);
    setSelected(QVariant());
    if (FlowController* controller = app()) {
        setStartAtLogin(controller->startAtLogin());
        controller->resizeClipboardPanel();
    }
}

void FlowModel::headerAction() {
    if (selected_.isValid())
        setSelected(QVariant());
    else
        showSettings();
}

void FlowModel::selectClip(const QString& text) {
    setSelected(text);
}

void FlowModel::toggleSync() {
    if (FlowController* controller = app(); controller && !controller->designPreview()) {
        if (controller->isRunning())
            controller->stop();
        else
            controller->start();
    }
    refresh();
}

void FlowModel::copyClip(const QString& text) {
    if (FlowController* controller = app()) {
        controller->writeClipboard(text);
        controller->setStatusText(kCopiedLocally);
    }
    refresh();
}

void FlowModel::setAutomaticSharing(bool on) {
    if (FlowController* controller = app())
        controller->setAutomaticSending(on);
    refresh();
}

void FlowModel::switchStartAtLogin(bool on) {
    if (FlowController* controller = app())
        controller->setStartAtLogin(on);
    refresh();
}

void FlowModel::sendText(const QString& text) {
    if (FlowController* controller = app())
        controller->send(text);
    refresh();
}

void FlowModel::sendClipboard() {
    if (FlowController* controller = app())
        controller->sendClipboard();
    refresh();
}

void FlowModel::showWelcome() {
    if (FlowController* controller = app())
        controller->show();
    refresh();
}

void FlowModel::quit() {
    if (FlowController* controller = app())
        controller->quit();
}

void FlowModel::connectFromWelcome() {
    if (FlowController* controller = app())
        controller->connectFromWelcome();
    refresh();
}

QStringList FlowModel::previewClips() {
    return {
        QStringLiteral("Pick up oat milk and the blue notebook on the way home"),
        QStringLiteral("https://example.com/articles/slow-mornings"),
        QStringLiteral("Standup moved to 10:30 tomorrow, same room"),
        QStringLiteral("https://example.org/recipes/lemon-olive-oil-cake"),
        QStringLiteral("Ideas for the trip:\nnight train, the old harbour, that tiny bookshop"),
    };
}

} // namespace zephlink
