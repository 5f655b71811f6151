#pragma once

#include "ports.h"

#include <QObject>

namespace zephlink {

// The system clipboard through QClipboard. The change count moves once per
// own write and once per change made by another program; changes while this
// program owns the clipboard are its own and are not counted.
class QtPasteboard : public QObject, public Pasteboard {
    Q_OBJECT

public:
    // Without background access (a Wayland desktop without data-control),
    // the clipboard is read and written only on demand and no change counts.
    explicit QtPasteboard(bool background = true, QObject* parent = nullptr);

    long changeCount() const override { return count_; }
    QStringList types() const override;
    QByteArray data(const QString& type) const override;
    std::optional<QString> string() const override;
    void write(const QString& text, const QList<QPair<QString, QByteArray>>& extra) override;
    void setChangeListener(std::function<void()> listener) override;
    bool background() const override { return background_; }

private:
    void changed();

    bool background_;
    long count_ = 0;
    OwnWrite ownWrite_;
    std::function<void()> listener_;
};

} // namespace zephlink
