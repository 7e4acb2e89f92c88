// Xlib's error handlers are process-wide and, by default, end the program:
// for our displays they log a protocol error and turn a broken connection
// into a flag, while other displays of the process (a toolkit's) keep
// whatever handler they had.
#pragma once

#include <atomic>

struct _XDisplay;

namespace vandrel::InputManager::x11 {

/// From now on a protocol error on `display` is logged, and a lost connection
/// sets `*lost` and returns to the Xlib call that noticed it. The display is
/// then good only for XCloseDisplay, on the thread that noticed: Xlib leaves
/// the display locked to that thread. `lost` must outlive the display.
void Watch(_XDisplay* display, std::atomic<bool>* lost);
/// Like Watch, but protocol errors are not logged: for a display whose calls
/// expect them, such as reading windows that may vanish at any moment.
void WatchQuietly(_XDisplay* display, std::atomic<bool>* lost);
/// Call after XCloseDisplay, so that closing is covered too.
void Unwatch(_XDisplay* display);

}  // namespace vandrel::InputManager::x11
