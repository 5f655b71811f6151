#pragma once

#include "ports.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <memory>
#include <vector>

class QSocketNotifier;
struct wl_display;
struct wl_proxy;
struct wl_interface;

namespace zephlink {

class PipeReader;

// The clipboard of a Wayland session through a data-control protocol (ext or
// wlr: one shape, two names), on a wayland-client connection of its own whose
// events are read on the Qt event loop. Only the regular selection is
// watched. A copy is read into memory before the change count moves, so the
// port's getters never wait; the selection announced when the device is made
// is read but not counted, and own writes are served from memory.
class DataControlPasteboard : public QObject, public Pasteboard {
    Q_OBJECT

public:
    enum class Protocol { Ext, Wlr };

    static constexpr int kTransferTimeoutMs = 2000;
    static constexpr int kReconnectMs = 1000;
    static constexpr qsizetype kMaxTypes = 64;    // kept per offer
    static constexpr qsizetype kHintBytes = 64;   // read of the password-manager hint
    static constexpr std::size_t kMaxServing = 8; // pastes served at once
    static constexpr std::size_t kMaxPendingOffers = 4;

    // display: the compositor's socket name or path; empty for the environment's.
    explicit DataControlPasteboard(Protocol protocol, QByteArray display = {},
                                   QObject* parent = nullptr);
    ~DataControlPasteboard() override;

    long changeCount() const override { return count_; }
    QStringList types() const override { return types_; }
    QByteArray data(const QString& type) const override { return data_.value(type); }
    std::optional<QString> string() const override { return text_; }
    void write(const QString& text, const QList<QPair<QString, QByteArray>>& extra) override;
    void setChangeListener(std::function<void()> listener) override;

    // True while a data-control device of a seat is held.
    bool ready() const { return device_ != nullptr; }

    struct Names;
    struct Offer;
    struct Source;

private:
    friend struct DataControlEvents;

    // Protocol events.
    void global(std::uint32_t name, const char* interface, std::uint32_t version);
    void globalRemoved(std::uint32_t name);
    void dataOffer(wl_proxy* offer);
    void selection(wl_proxy* offer, bool primary);
    void finished();
    void cancelled(Source* source);
    void send(Source* source, const char* type, int fd);

    void connectDisplay();
    void lost();
    void teardown();
    void readEvents();
    void flush();
    void makeDevice();
    void dropDevice();
    void destroyOffer(Offer* offer);
    std::unique_ptr<Offer> takePending(wl_proxy* proxy);

    // Reading the current selection.
    void startReading(bool counted);
    void readText();
    void readType(const QString& type, qsizetype cap);
    void transferDone(const QString& type, const QByteArray& bytes, bool complete, bool cut);
    void finishReading(std::optional<QString> text);
    void abortTransfer();

    const Names& names_;
    QByteArray displayName_;
    wl_display* display_ = nullptr;
    wl_proxy* registry_ = nullptr;
    wl_proxy* manager_ = nullptr;
    std::uint32_t managerName_ = 0;
    wl_proxy* seat_ = nullptr;
    std::uint32_t seatName_ = 0;
    wl_proxy* device_ = nullptr;
    bool atBind_ = false; // the next selection is the one announced at bind
    QSocketNotifier* readable_ = nullptr;
    QSocketNotifier* writable_ = nullptr;
    QTimer reconnect_;

    std::vector<std::unique_ptr<Offer>> pending_;  // introduced, not yet named
    std::unique_ptr<Offer> current_;               // the regular selection
    std::vector<std::unique_ptr<Source>> sources_; // own, not yet cancelled
    PipeReader* transfer_ = nullptr;
    std::size_t serving_ = 0; // pastes being written

    // What the clipboard holds, as far as it was read.
    long count_ = 0;
    QStringList types_;
    QHash<QString, QByteArray> data_;
    std::optional<QString> text_;
    // The selection being read: its types, whether it counts as a copy.
    QStringList readTypes_;
    QHash<QString, QByteArray> readData_;
    bool readCounted_ = false;
    OwnWrite ownWrite_;
    std::function<void()> listener_;
};

} // namespace zephlink
