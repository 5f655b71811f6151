#pragma once

// The two ends of a clipboard transfer between programs: a pipe read or
// written on the event loop without ever blocking it, bounded in size and
// time, since the program at the other end is not trusted to behave.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class QSocketNotifier;

namespace zephlink {

// Reads a pipe to its end, keeping at most cap bytes. done runs once, with
// the bytes, whether they all came (the end, or the cap reached) and whether
// the cap cut them; never after stop().
class PipeReader : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(const QByteArray& bytes, bool complete, bool cut)>;

    // Takes fd, which must be non-blocking.
    PipeReader(int fd, qsizetype cap, int timeoutMs, Done done, QObject* parent);
    ~PipeReader() override;

    // Ends the read without a callback and closes the pipe; safe within done.
    void stop();

private:
    void readable();
    void finish(bool complete);

    int fd_;
    qsizetype cap_;
    Done done_;
    QSocketNotifier* notifier_;
    QTimer deadline_;
    QByteArray bytes_;
    bool cut_ = false;
};

// Writes bytes into a pipe for a reader that may be slow, giving up after
// timeoutMs or when the reader goes away. Deletes itself when done, and
// runs ended first.
class PipeWriter : public QObject {
    Q_OBJECT

public:
    // Takes fd.
    PipeWriter(int fd, QByteArray bytes, int timeoutMs, std::function<void()> ended,
               QObject* parent);
    ~PipeWriter() override;

private:
    void writable();
    void end();

    int fd_;
    QByteArray bytes_;
    qsizetype written_ = 0;
    std::function<void()> ended_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer deadline_;
};

// UTF-8 text from bytes that a size cap may have cut anywhere: a cut
// multi-byte sequence at the end is dropped.
QString textOfCut(QByteArray bytes, bool cut);

} // namespace zephlink
