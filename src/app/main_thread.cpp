#include "main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <mutex>
#include <thread>

namespace zephlink::main_thread {
namespace {

struct Door {
    std::mutex mutex;
    bool closed = false;
};

// Never destroyed: threads that outlive main() may still knock.
Door& door() {
    static Door* instance = new Door;
    return *instance;
}

} // namespace

void post(std::function<void()> fn) {
    Door& d = door();
    const std::lock_guard lock(d.mutex);
    QCoreApplication* app = QCoreApplication::instance();
    if (d.closed || app == nullptr)
        return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

void close() {
    Door& d = door();
    const std::lock_guard lock(d.mutex);
    d.closed = true;
}

void background(std::function<std::function<void()>()> job) {
    std::thread([job = std::move(job)] {
        std::function<void()> continuation;
        try {
            continuation = job();
        } catch (...) {
            // Jobs report their own failures through the continuation.
            return;
        }
        if (continuation)
            post(std::move(continuation));
    }).detach();
}

} // namespace zephlink::main_thread
