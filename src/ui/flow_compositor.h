#pragma once

namespace zephlink {

// Whether the desktop composites windows, so that a window's transparent
// pixels show what lies behind it rather than black: always on Wayland; on
// X11 while a compositing manager holds the _NET_WM_CM_S<screen> selection;
// never elsewhere.
bool desktopComposites();

} // namespace zephlink
