#include "qt_pasteboard.h"

#include "trace.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace zephlink {

QtPasteboard::QtPasteboard(bool background, QObject* parent)
    : QObject(parent), background_(background) {
    // What the clipboard shows on focus is not a copy made just now.
    if (background_)
        connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
                &QtPasteboard::changed);
}

void QtPasteboard::changed() {
    trace::step("change");
    const QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard->ownsClipboard())
        return;
    if (ownWrite_.takenOver(string()))
        return;
    ++count_;
    if (listener_)
        listener_();
}

QStringList QtPasteboard::types() const {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data != nullptr ? data->formats() : QStringList();
}

QByteArray QtPasteboard::data(const QString& type) const {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data != nullptr ? data->data(type) : QByteArray();
}

std::optional<QString> QtPasteboard::string() const {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (data == nullptr || !data->hasText())
        return std::nullopt;
    return data->text();
}

void QtPasteboard::write(const QString& text, const QList<QPair<QString, QByteArray>>& extra) {
    auto* data = new QMimeData;
    data->setText(text);
    for (const auto& [type, bytes] : extra)
        data->setData(type, bytes);
    ownWrite_.remember(text);
    ++count_;
    QGuiApplication::clipboard()->setMimeData(data);
    trace::step("written");
}

void QtPasteboard::setChangeListener(std::function<void()> listener) {
    listener_ = std::move(listener);
}

} // namespace zephlink
