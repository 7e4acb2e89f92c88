#include "input/linux/X11ErrorHandlers.h"

#include <X11/Xlib.h>

#include <mutex>
#include <set>

#include "infra/Logger.h"

namespace vandrel::InputManager::x11 {
namespace {

std::mutex handlerMutex;
// A multiset: a closed display's address may come back for a new one before
// the old one is unwatched.
std::multiset<Display*> ourDisplays;
std::multiset<Display*> quietDisplays;
XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIOErrorHandler = nullptr;

bool Ours(Display* display, XErrorHandler* previous, XIOErrorHandler* previousIO, bool* quiet = nullptr) {
  std::lock_guard lock(handlerMutex);
  if (previous) *previous = previousErrorHandler;
  if (previousIO) *previousIO = previousIOErrorHandler;
  if (quiet) *quiet = quietDisplays.count(display) > 0;
  return ourDisplays.count(display) > 0;
}

int OnXError(Display* display, XErrorEvent* error) {
  XErrorHandler previous = nullptr;
  bool quiet = false;
  if (!Ours(display, &previous, nullptr, &quiet) && previous) return previous(display, error);
  if (quiet) return 0;
  char text[160] = {};
  XGetErrorText(display, error->error_code, text, sizeof text);
  Log() << "[SendInput] X error: " << text << " (request " << static_cast<unsigned>(error->request_code) << "."
        << static_cast<unsigned>(error->minor_code) << ")";
  return 0;
}

// Xlib calls this first and the display's exit handler next; both must return
// for the program to live on. Xlib's default of either one exits.
int OnXIOError(Display* display) {
  XIOErrorHandler previous = nullptr;
  if (!Ours(display, nullptr, &previous) && previous) return previous(display);
  return 0;
}

void OnXIOErrorExit(Display* /*display*/, void* lost) { static_cast<std::atomic<bool>*>(lost)->store(true); }

void Add(Display* display, std::atomic<bool>* lost, bool quiet) {
  {
    std::lock_guard lock(handlerMutex);
    if (ourDisplays.empty()) {
      previousErrorHandler = XSetErrorHandler(OnXError);
      previousIOErrorHandler = XSetIOErrorHandler(OnXIOError);
    }
    ourDisplays.insert(display);
    if (quiet) quietDisplays.insert(display);
  }
  XSetIOErrorExitHandler(display, OnXIOErrorExit, lost);
}

}  // namespace

void Watch(Display* display, std::atomic<bool>* lost) { Add(display, lost, false); }
void WatchQuietly(Display* display, std::atomic<bool>* lost) { Add(display, lost, true); }

void Unwatch(Display* display) {
  std::lock_guard lock(handlerMutex);
  const auto it = ourDisplays.find(display);
  if (it == ourDisplays.end()) return;
  ourDisplays.erase(it);
  if (const auto quiet = quietDisplays.find(display); quiet != quietDisplays.end()) quietDisplays.erase(quiet);
  if (!ourDisplays.empty()) return;
  XSetErrorHandler(previousErrorHandler);
  XSetIOErrorHandler(previousIOErrorHandler);
}

}  // namespace vandrel::InputManager::x11
