#pragma once

namespace zephlink {

// The normal start: the tray application and its event loop.
int runDesktop(int argc, char** argv);

} // namespace zephlink
