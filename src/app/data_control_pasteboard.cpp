#include "data_control_pasteboard.h"

#include "clip.h"
#include "clipboard_formats.h"
#include "ext-data-control-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <wayland-client.h>

namespace zephlink {

// Both protocols share every request and event at the same opcode; only the
// interface names differ.
struct DataControlPasteboard::Names {
    const char* manager;
    const wl_interface* managerInterface;
    const wl_interface* device;
    const wl_interface* source;
    std::uint32_t version;
};

struct DataControlPasteboard::Offer {
    wl_proxy* proxy;
    QStringList types;
};

struct DataControlPasteboard::Source {
    DataControlPasteboard* owner;
    wl_proxy* proxy;
    QHash<QString, QByteArray> data; // by type, served from memory
};

struct DataControlPasteboard::Transfer {
    int fd;
    QString type;
    qsizetype cap;
    QSocketNotifier* notifier;
    QByteArray bytes;
    bool overflow = false;
};

struct DataControlPasteboard::Serving {
    int fd;
    QByteArray bytes;
    qsizetype written = 0;
    QSocketNotifier* notifier = nullptr;
    QTimer* deadline = nullptr;
};

namespace {

using Self = DataControlPasteboard;

const Self::Names kExt = {"ext_data_control_manager_v1", &ext_data_control_manager_v1_interface,
                          &ext_data_control_device_v1_interface,
                          &ext_data_control_source_v1_interface, 1};
const Self::Names kWlr = {"zwlr_data_control_manager_v1", &zwlr_data_control_manager_v1_interface,
                          &zwlr_data_control_device_v1_interface,
                          &zwlr_data_control_source_v1_interface, 2};

enum : std::uint32_t {
    kCreateDataSource = 0,
    kGetDataDevice = 1,
    kSetSelection = 0,
    kOfferType = 0, // source.offer
    kReceive = 0,   // offer.receive
    kManagerDestroy = 2,
    kDestroy = 1, // device, source and offer
};

// Enough bytes for the clip size rule to refuse an over-long text, plus a
// cut UTF-8 sequence.
constexpr qsizetype kTextCap = static_cast<qsizetype>(kMaxTextBytes) + 4;

void destroyRequest(wl_proxy* proxy, std::uint32_t opcode) {
    wl_proxy_marshal_flags(proxy, opcode, nullptr, wl_proxy_get_version(proxy),
                           WL_MARSHAL_FLAG_DESTROY);
}

void closeQuietly(int fd) {
    if (fd >= 0)
        ::close(fd);
}

// An over-long read ends anywhere; drop a cut multi-byte sequence at its end.
QString decodeText(QByteArray bytes, bool cut) {
    if (cut) {
        qsizetype lead = bytes.size() - 1;
        int continuation = 0;
        while (lead >= 0 && continuation < 3 && (static_cast<uchar>(bytes[lead]) & 0xC0) == 0x80) {
            --lead;
            ++continuation;
        }
        if (lead >= 0) {
            const auto first = static_cast<uchar>(bytes[lead]);
            const int length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
            if (length > continuation + 1)
                bytes.truncate(lead);
        }
    }
    return QString::fromUtf8(bytes);
}

} // namespace

// C trampolines from libwayland into the pasteboard.
struct DataControlEvents {
    static void global(void* self, wl_registry*, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        static_cast<Self*>(self)->global(name, interface, version);
    }
    static void globalRemove(void* self, wl_registry*, std::uint32_t name) {
        static_cast<Self*>(self)->globalRemoved(name);
    }
    static void dataOffer(void* self, wl_proxy*, wl_proxy* offer) {
        static_cast<Self*>(self)->dataOffer(offer);
    }
    static void selection(void* self, wl_proxy*, wl_proxy* offer) {
        static_cast<Self*>(self)->selection(offer, false);
    }
    static void primary(void* self, wl_proxy*, wl_proxy* offer) {
        static_cast<Self*>(self)->selection(offer, true);
    }
    static void finished(void* self, wl_proxy*) { static_cast<Self*>(self)->finished(); }
    static void offerType(void* offer, wl_proxy*, const char* type) {
        auto* o = static_cast<Self::Offer*>(offer);
        if (o->types.size() < Self::kMaxTypes)
            o->types.append(QString::fromUtf8(type));
    }
    static void send(void* source, wl_proxy*, const char* type, std::int32_t fd) {
        auto* s = static_cast<Self::Source*>(source);
        s->owner->send(s, type, fd);
    }
    static void cancelled(void* source, wl_proxy*) {
        auto* s = static_cast<Self::Source*>(source);
        s->owner->cancelled(s);
    }
};

namespace {

const wl_registry_listener kRegistryListener = {DataControlEvents::global,
                                                DataControlEvents::globalRemove};
struct DeviceListener {
    void (*dataOffer)(void*, wl_proxy*, wl_proxy*);
    void (*selection)(void*, wl_proxy*, wl_proxy*);
    void (*finished)(void*, wl_proxy*);
    void (*primary)(void*, wl_proxy*, wl_proxy*);
} const kDeviceListener = {DataControlEvents::dataOffer, DataControlEvents::selection,
                           DataControlEvents::finished, DataControlEvents::primary};
struct OfferListener {
    void (*offer)(void*, wl_proxy*, const char*);
} const kOfferListener = {DataControlEvents::offerType};
struct SourceListener {
    void (*send)(void*, wl_proxy*, const char*, std::int32_t);
    void (*cancelled)(void*, wl_proxy*);
} const kSourceListener = {DataControlEvents::send, DataControlEvents::cancelled};

template <typename Listener> void listen(wl_proxy* proxy, const Listener& listener, void* data) {
    // The listener structs have the generated ones' layout: one function
    // pointer per event, in event order.
    wl_proxy_add_listener(
        proxy, reinterpret_cast<void (**)(void)>(const_cast<Listener*>(&listener)), data);
}

} // namespace

DataControlPasteboard::DataControlPasteboard(Protocol protocol, QByteArray display, QObject* parent)
    : QObject(parent), names_(protocol == Protocol::Ext ? kExt : kWlr),
      displayName_(std::move(display)) {
    reconnect_.setSingleShot(true);
    reconnect_.setInterval(kReconnectMs);
    connect(&reconnect_, &QTimer::timeout, this, &DataControlPasteboard::connectDisplay);
    transferTimer_.setSingleShot(true);
    connect(&transferTimer_, &QTimer::timeout, this, [this] { transferDone(false); });
    connectDisplay();
}

DataControlPasteboard::~DataControlPasteboard() {
    teardown();
    while (!serving_.empty())
        endServing(serving_.front().get());
}

void DataControlPasteboard::setChangeListener(std::function<void()> listener) {
    listener_ = std::move(listener);
}

// ---------------------------------------------------------------- connection

void DataControlPasteboard::connectDisplay() {
    display_ = wl_display_connect(displayName_.isEmpty() ? nullptr : displayName_.constData());
    if (display_ == nullptr) {
        reconnect_.start();
        return;
    }
    registry_ = reinterpret_cast<wl_proxy*>(wl_display_get_registry(display_));
    wl_registry_add_listener(reinterpret_cast<wl_registry*>(registry_), &kRegistryListener, this);
    const int fd = wl_display_get_fd(display_);
    readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, &DataControlPasteboard::readEvents);
    writable_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &DataControlPasteboard::flush);
    flush();
}

// The compositor went away (or broke the connection): start again later.
void DataControlPasteboard::lost() {
    teardown();
    reconnect_.start();
}

void DataControlPasteboard::teardown() {
    abortTransfer();
    // The connection ends with the display; the compositor drops its side.
    for (auto& offer : pending_)
        wl_proxy_destroy(offer->proxy);
    pending_.clear();
    if (current_)
        wl_proxy_destroy(current_->proxy);
    current_.reset();
    for (auto& source : sources_)
        wl_proxy_destroy(source->proxy);
    sources_.clear();
    for (wl_proxy** proxy : {&device_, &manager_, &seat_, &registry_}) {
        if (*proxy != nullptr)
            wl_proxy_destroy(*proxy);
        *proxy = nullptr;
    }
    // Their signal may be what brought us here.
    for (QSocketNotifier* notifier : {readable_, writable_}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readable_ = writable_ = nullptr;
    if (display_ != nullptr)
        wl_display_disconnect(display_);
    display_ = nullptr;
}

void DataControlPasteboard::readEvents() {
    if (display_ == nullptr)
        return;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0)
            return lost();
    }
    // Reads without blocking: the notifier said there is something.
    if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0)
        return lost();
    flush();
}

void DataControlPasteboard::flush() {
    if (display_ == nullptr)
        return;
    // A full socket is retried when writable; a broken one shows up as a
    // failed read, where the connection can be dropped safely.
    const bool full = wl_display_flush(display_) < 0 && errno == EAGAIN;
    writable_->setEnabled(full);
}

void DataControlPasteboard::global(std::uint32_t name, const char* interface,
                                   std::uint32_t version) {
    auto* registry = reinterpret_cast<wl_registry*>(registry_);
    if (manager_ == nullptr && qstrcmp(interface, names_.manager) == 0) {
        manager_ = static_cast<wl_proxy*>(wl_registry_bind(registry, name, names_.managerInterface,
                                                           std::min(version, names_.version)));
        managerName_ = name;
    } else if (seat_ == nullptr && qstrcmp(interface, "wl_seat") == 0) {
        seat_ = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        seatName_ = name;
    }
    makeDevice();
}

void DataControlPasteboard::globalRemoved(std::uint32_t name) {
    if (seat_ != nullptr && name == seatName_) {
        dropDevice();
        wl_proxy_destroy(seat_);
        seat_ = nullptr;
    } else if (manager_ != nullptr && name == managerName_) {
        dropDevice();
        destroyRequest(manager_, kManagerDestroy);
        manager_ = nullptr;
    }
}

void DataControlPasteboard::makeDevice() {
    if (display_ == nullptr || manager_ == nullptr || seat_ == nullptr || device_ != nullptr)
        return;
    device_ = wl_proxy_marshal_flags(manager_, kGetDataDevice, names_.device,
                                     wl_proxy_get_version(manager_), 0, nullptr, seat_);
    listen(device_, kDeviceListener, this);
    atBind_ = true;
}

void DataControlPasteboard::dropDevice() {
    abortTransfer();
    for (auto& offer : pending_)
        destroyOffer(offer.get());
    pending_.clear();
    if (current_)
        destroyOffer(current_.get());
    current_.reset();
    if (device_ != nullptr)
        destroyRequest(device_, kDestroy);
    device_ = nullptr;
}

void DataControlPasteboard::finished() {
    // The seat's device ended; a new one is made once the registry has had
    // its say (the seat may be going away).
    dropDevice();
    QTimer::singleShot(kReconnectMs, this, [this] {
        makeDevice();
        flush();
    });
}

// ---------------------------------------------------------------- offers

void DataControlPasteboard::destroyOffer(Offer* offer) {
    destroyRequest(offer->proxy, kDestroy);
}

std::unique_ptr<DataControlPasteboard::Offer> DataControlPasteboard::takePending(wl_proxy* proxy) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if ((*it)->proxy == proxy) {
            std::unique_ptr<Offer> offer = std::move(*it);
            pending_.erase(it);
            return offer;
        }
    }
    return nullptr;
}

void DataControlPasteboard::dataOffer(wl_proxy* proxy) {
    auto offer = std::make_unique<Offer>(Offer{proxy, {}});
    listen(proxy, kOfferListener, offer.get());
    pending_.push_back(std::move(offer));
    if (pending_.size() > kMaxPendingOffers) {
        destroyOffer(pending_.front().get());
        pending_.erase(pending_.begin());
    }
}

void DataControlPasteboard::selection(wl_proxy* proxy, bool primary) {
    std::unique_ptr<Offer> offer = takePending(proxy);
    if (primary) {
        // The primary selection is never shared.
        if (offer)
            destroyOffer(offer.get());
        return;
    }
    if (current_)
        destroyOffer(current_.get());
    current_ = std::move(offer);
    const bool counted = !std::exchange(atBind_, false);
    // Our own source is the selection until it is cancelled, which comes
    // before any other program's selection.
    if (current_ && !sources_.empty()) {
        abortTransfer();
        return;
    }
    startReading(counted);
}

// ---------------------------------------------------------------- reading

void DataControlPasteboard::startReading(bool counted) {
    abortTransfer();
    readCounted_ = counted;
    readTypes_ = current_ ? current_->types : QStringList();
    readData_.clear();
    for (const QString& type : formats::kSensitive) {
        // Marked content is never read at all.
        if (readTypes_.contains(type))
            return finishReading(std::nullopt);
    }
    if (readTypes_.contains(formats::kPasswordHint))
        return readType(formats::kPasswordHint, kHintBytes);
    for (const QString& type : formats::kText) {
        if (readTypes_.contains(type))
            return readType(type, kTextCap);
    }
    finishReading(std::nullopt);
}

void DataControlPasteboard::readType(const QString& type, qsizetype cap) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return finishReading(std::nullopt);
    // The request carries a duplicate of the write end.
    wl_proxy_marshal_flags(current_->proxy, kReceive, nullptr,
                           wl_proxy_get_version(current_->proxy), 0, type.toUtf8().constData(),
                           fds[1]);
    ::close(fds[1]);
    flush();
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    transfer_ = std::make_unique<Transfer>(Transfer{fds[0], type, cap, notifier, {}});
    connect(notifier, &QSocketNotifier::activated, this, &DataControlPasteboard::transferReadable);
    transferTimer_.start(kTransferTimeoutMs);
}

void DataControlPasteboard::transferReadable() {
    char buffer[16384];
    while (transfer_) {
        const ssize_t n = ::read(transfer_->fd, buffer, sizeof buffer);
        if (n > 0) {
            transfer_->bytes.append(buffer, n);
            if (transfer_->bytes.size() > transfer_->cap) {
                transfer_->bytes.truncate(transfer_->cap);
                transfer_->overflow = true;
                return transferDone(true);
            }
        } else if (n == 0) {
            return transferDone(true);
        } else if (errno != EINTR) {
            if (errno != EAGAIN)
                transferDone(false);
            return;
        }
    }
}

void DataControlPasteboard::abortTransfer() {
    transferTimer_.stop();
    if (!transfer_)
        return;
    transfer_->notifier->setEnabled(false);
    transfer_->notifier->deleteLater();
    ::close(transfer_->fd);
    transfer_.reset();
}

void DataControlPasteboard::transferDone(bool complete) {
    if (!transfer_)
        return;
    const QString type = transfer_->type;
    const QByteArray bytes = transfer_->bytes;
    const bool overflow = transfer_->overflow;
    abortTransfer();
    if (type != formats::kPasswordHint) {
        // An over-long text is kept only as far as the size rule needs to refuse it.
        return finishReading(complete ? std::optional(decodeText(bytes, overflow)) : std::nullopt);
    }
    // A hint that cannot be read leaves the text unread, as a secret would.
    if (!complete)
        return finishReading(std::nullopt);
    readData_.insert(type, bytes);
    if (bytes.trimmed() == formats::kSecret)
        return finishReading(std::nullopt);
    for (const QString& text : formats::kText) {
        if (readTypes_.contains(text))
            return readType(text, kTextCap);
    }
    finishReading(std::nullopt);
}

void DataControlPasteboard::finishReading(std::optional<QString> text) {
    types_ = readTypes_;
    data_ = readData_;
    text_ = std::move(text);
    if (!readCounted_)
        return;
    // Clipboard managers take over what we wrote so that it survives us; that
    // is still our own write, and sending it back would echo between devices.
    if (ownText_ && text_ == ownText_) {
        ownText_.reset();
        return;
    }
    ownText_.reset();
    ++count_;
    if (listener_)
        listener_();
}

// ---------------------------------------------------------------- writing

void DataControlPasteboard::write(const QString& text,
                                  const QList<QPair<QString, QByteArray>>& extra) {
    QHash<QString, QByteArray> data;
    for (const QString& type : formats::kTextOffered)
        data.insert(type, text.toUtf8());
    for (const auto& [type, bytes] : extra)
        data.insert(type, bytes);
    abortTransfer();
    types_ = formats::kTextOffered;
    for (const auto& [type, bytes] : extra)
        types_.append(type);
    data_ = data;
    text_ = text;
    ownText_ = text;
    ++count_;
    if (device_ == nullptr)
        return;
    auto source = std::make_unique<Source>(Source{this, nullptr, std::move(data)});
    source->proxy = wl_proxy_marshal_flags(manager_, kCreateDataSource, names_.source,
                                           wl_proxy_get_version(manager_), 0, nullptr);
    listen(source->proxy, kSourceListener, source.get());
    for (const QString& type : std::as_const(types_))
        wl_proxy_marshal_flags(source->proxy, kOfferType, nullptr,
                               wl_proxy_get_version(source->proxy), 0, type.toUtf8().constData());
    wl_proxy_marshal_flags(device_, kSetSelection, nullptr, wl_proxy_get_version(device_), 0,
                           source->proxy);
    sources_.push_back(std::move(source));
    flush();
}

void DataControlPasteboard::cancelled(Source* source) {
    for (auto it = sources_.begin(); it != sources_.end(); ++it) {
        if (it->get() == source) {
            destroyRequest(source->proxy, kDestroy);
            sources_.erase(it);
            return;
        }
    }
}

void DataControlPasteboard::send(Source* source, const char* type, int fd) {
    const auto found = source->data.constFind(QString::fromUtf8(type));
    // Every paste holds a pipe until served: a bounded number at a time.
    if (found == source->data.constEnd() || serving_.size() >= kMaxServing ||
        ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        closeQuietly(fd);
        return;
    }
    serving_.push_back(std::make_unique<Serving>(Serving{fd, *found}));
    writeServing(serving_.back().get());
}

void DataControlPasteboard::writeServing(Serving* serving) {
    // A reader that went away must not end the program with SIGPIPE.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);
    while (serving->written < serving->bytes.size()) {
        const ssize_t n =
            ::write(serving->fd, serving->bytes.constData() + serving->written,
                    static_cast<std::size_t>(serving->bytes.size() - serving->written));
        if (n > 0)
            serving->written += n;
        else if (errno != EINTR)
            break;
    }
    sigaction(SIGPIPE, &previous, nullptr);
    if (serving->written == serving->bytes.size() || errno != EAGAIN)
        return endServing(serving);
    if (serving->notifier == nullptr) {
        serving->notifier = new QSocketNotifier(serving->fd, QSocketNotifier::Write, this);
        connect(serving->notifier, &QSocketNotifier::activated, this,
                [this, serving] { writeServing(serving); });
        serving->deadline = new QTimer(this);
        serving->deadline->setSingleShot(true);
        connect(serving->deadline, &QTimer::timeout, this,
                [this, serving] { endServing(serving); });
        serving->deadline->start(kTransferTimeoutMs);
    }
}

void DataControlPasteboard::endServing(Serving* serving) {
    for (auto it = serving_.begin(); it != serving_.end(); ++it) {
        if (it->get() != serving)
            continue;
        if (serving->notifier != nullptr) {
            serving->notifier->setEnabled(false);
            serving->notifier->deleteLater();
            serving->deadline->stop();
            serving->deadline->deleteLater();
        }
        ::close(serving->fd);
        serving_.erase(it);
        return;
    }
}

} // namespace zephlink
