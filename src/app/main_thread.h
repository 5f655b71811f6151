#pragma once

#include <functional>

namespace zephlink::main_thread {

// Runs fn on the Qt main thread. Safe from any thread; dropped once the
// application has closed the door (or before it exists).
void post(std::function<void()> fn);

// Called on the main thread before the application object goes away.
void close();

// Runs job on a thread of its own (a blocking long poll must never starve
// other work) and then runs the continuation it returns on the main thread.
void background(std::function<std::function<void()>()> job);

} // namespace zephlink::main_thread
