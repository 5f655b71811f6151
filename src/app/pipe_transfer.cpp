#include "pipe_transfer.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zephlink {

PipeReader::PipeReader(int fd, qsizetype cap, int timeoutMs, Done done, QObject* parent)
    : QObject(parent), fd_(fd), cap_(cap), done_(std::move(done)),
      notifier_(new QSocketNotifier(fd, QSocketNotifier::Read, this)) {
    connect(notifier_, &QSocketNotifier::activated, this, &PipeReader::readable);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        // A busy event loop may see the deadline before the data that came
        // in time: what is there still counts.
        readable();
        finish(false);
    });
    deadline_.start(timeoutMs);
}

PipeReader::~PipeReader() {
    stop();
}

void PipeReader::stop() {
    deadline_.stop();
    notifier_->setEnabled(false);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void PipeReader::readable() {
    char buffer[16384];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            bytes_.append(buffer, n);
            if (bytes_.size() > cap_) {
                bytes_.truncate(cap_);
                cut_ = true;
                return finish(true);
            }
        } else if (n == 0) {
            return finish(true);
        } else if (errno != EINTR) {
            if (errno != EAGAIN)
                finish(false);
            return;
        }
    }
}

void PipeReader::finish(bool complete) {
    if (fd_ < 0)
        return;
    stop();
    done_(bytes_, complete, cut_);
}

PipeWriter::PipeWriter(int fd, QByteArray bytes, int timeoutMs, std::function<void()> ended,
                       QObject* parent)
    : QObject(parent), fd_(fd), bytes_(std::move(bytes)), ended_(std::move(ended)) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &PipeWriter::end);
    deadline_.start(timeoutMs);
    if (::fcntl(fd_, F_SETFL, O_NONBLOCK) != 0)
        end();
    else
        writable();
}

PipeWriter::~PipeWriter() {
    if (fd_ >= 0)
        ::close(fd_);
}

void PipeWriter::writable() {
    if (fd_ < 0)
        return;
    // A reader that went away must not end the program with SIGPIPE.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);
    int error = 0;
    while (written_ < bytes_.size()) {
        const ssize_t n = ::write(fd_, bytes_.constData() + written_,
                                  static_cast<std::size_t>(bytes_.size() - written_));
        if (n > 0) {
            written_ += n;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    sigaction(SIGPIPE, &previous, nullptr);
    if (written_ == bytes_.size() || error != EAGAIN)
        return end();
    if (notifier_ == nullptr) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
        connect(notifier_, &QSocketNotifier::activated, this, &PipeWriter::writable);
    }
}

void PipeWriter::end() {
    if (fd_ < 0)
        return;
    deadline_.stop();
    if (notifier_ != nullptr)
        notifier_->setEnabled(false);
    ::close(fd_);
    fd_ = -1;
    if (ended_)
        ended_();
    deleteLater();
}

QString textOfCut(QByteArray bytes, bool cut) {
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

} // namespace zephlink
