// The data-control port's clipboard: what the selection holds, as far as
// the capture rules let it be read, and the program's own writes.
#include "capture.h"
#include "clip.h"
#include "data_control_protocol.h"
#include "pipe_transfer.h"

#include <fcntl.h>
#include <unistd.h>

namespace zephlink {

using namespace data_control;

namespace {

// Enough bytes for the clip size rule to refuse an over-long text, plus a
// cut UTF-8 sequence.
constexpr qsizetype kTextCap = static_cast<qsizetype>(kMaxTextBytes) + 4;

} // namespace

DataControlPasteboard::DataControlPasteboard(Protocol protocol, QByteArray display, QObject* parent)
    : QObject(parent), names_(names(protocol)), displayName_(std::move(display)) {
    reconnect_.setSingleShot(true);
    reconnect_.setInterval(kReconnectMs);
    connect(&reconnect_, &QTimer::timeout, this, &DataControlPasteboard::connectDisplay);
    connectDisplay();
}

DataControlPasteboard::~DataControlPasteboard() {
    teardown();
}

void DataControlPasteboard::setChangeListener(std::function<void()> listener) {
    listener_ = std::move(listener);
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
    // Marked content is never read at all; hinted content only once its
    // hint was read.
    if (Capture::marked(readTypes_))
        return finishReading(std::nullopt);
    if (readTypes_.contains(Capture::kHintType))
        return readType(Capture::kHintType, kHintBytes);
    readText();
}

void DataControlPasteboard::readText() {
    for (const QString& type : Capture::kTextTypes) {
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
    transfer_ = new PipeReader(
        fds[0], cap, kTransferTimeoutMs,
        [this, type](const QByteArray& bytes, bool complete, bool cut) {
            transferDone(type, bytes, complete, cut);
        },
        this);
}

void DataControlPasteboard::abortTransfer() {
    if (transfer_ == nullptr)
        return;
    // Its callback may be what brought us here.
    transfer_->stop();
    transfer_->deleteLater();
    transfer_ = nullptr;
}

void DataControlPasteboard::transferDone(const QString& type, const QByteArray& bytes,
                                         bool complete, bool cut) {
    abortTransfer();
    if (type != Capture::kHintType) {
        // An over-long text is kept only as far as the size rule needs to refuse it.
        return finishReading(complete ? std::optional(textOfCut(bytes, cut)) : std::nullopt);
    }
    // A hint that cannot be read leaves the text unread, as a secret would.
    if (!complete)
        return finishReading(std::nullopt);
    readData_.insert(type, bytes);
    if (Capture::secretHint(bytes))
        return finishReading(std::nullopt);
    readText();
}

void DataControlPasteboard::finishReading(std::optional<QString> text) {
    types_ = readTypes_;
    data_ = readData_;
    text_ = std::move(text);
    if (!readCounted_)
        return;
    if (ownWrite_.takenOver(text_))
        return;
    ++count_;
    if (listener_)
        listener_();
}

// ---------------------------------------------------------------- writing

void DataControlPasteboard::write(const QString& text,
                                  const QList<QPair<QString, QByteArray>>& extra) {
    QHash<QString, QByteArray> data;
    for (const QString& type : Capture::kOfferedTypes)
        data.insert(type, text.toUtf8());
    for (const auto& [type, bytes] : extra)
        data.insert(type, bytes);
    abortTransfer();
    types_ = Capture::kOfferedTypes;
    for (const auto& [type, bytes] : extra)
        types_.append(type);
    data_ = data;
    text_ = text;
    ownWrite_.remember(text);
    ++count_;
    if (device_ == nullptr)
        return;
    auto source = std::make_unique<Source>(Source{this, nullptr, std::move(data)});
    source->proxy = wl_proxy_marshal_flags(manager_, kCreateDataSource, names_.source,
                                           wl_proxy_get_version(manager_), 0, nullptr);
    listenSource(source.get());
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
    if (found == source->data.constEnd() || serving_ >= kMaxServing) {
        ::close(fd);
        return;
    }
    ++serving_;
    new PipeWriter(
        fd, *found, kTransferTimeoutMs, [this] { --serving_; }, this);
}

} // namespace zephlink
