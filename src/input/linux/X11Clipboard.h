// The phone's text as the X11 CLIPBOARD selection. A thread of its own with
// its own display connection owns the selection and answers the programs
// that paste, so the caller never waits for them.
#pragma once

#include <memory>
#include <string>

namespace vandrel::InputManager {

class X11Clipboard {
 public:
  /// Starts the owner thread on `displayName` (the X display, e.g. ":0").
  explicit X11Clipboard(std::string displayName);
  /// Stops the thread and lets go of the selection.
  ~X11Clipboard();
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  /// Offers `utf8` as the clipboard from now on, until another program takes
  /// it or a newer text replaces it. Returns at once; logs the outcome.
  void Set(std::string utf8);

 private:
  class Owner;
  std::unique_ptr<Owner> owner_;
};

}  // namespace vandrel::InputManager
