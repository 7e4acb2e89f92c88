// The CLIPBOARD selection owner: one thread, its own display connection and an
// unmapped window, woken through an eventfd when a new text arrives.
#include "input/linux/X11Clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "infra/LogLimiter.h"
#include "infra/Logger.h"
#include "input/linux/X11ErrorHandlers.h"

namespace vandrel::InputManager {
namespace {

// Far below the smallest request size a server may have (256 KiB), so that a
// text always fits one ChangeProperty and the INCR protocol is never needed.
constexpr std::size_t kMaxText = 64 * 1024;
// Room for the ChangeProperty request's own header.
constexpr long kRequestHeadroom = 1024;
constexpr auto kReopenInterval = std::chrono::seconds(1);

// ISO 8859-1 for the STRING target: what Latin-1 cannot hold, and bytes that
// are not UTF-8, become '?'.
std::string Latin1(std::string_view utf8) {
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    char32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
    bool valid = length != 0 && i + length <= utf8.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3Fu);
    }
    valid = valid && cp >= kLeast[length] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    if (!valid) {
      out += '?';
      ++i;
      continue;
    }
    out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    i += length;
  }
  return out;
}

// Server time is 32 bits of milliseconds that wrap around.
bool Earlier(Time a, Time b) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(a - b)) < 0; }

}  // namespace

class X11Clipboard::Owner {
 public:
  explicit Owner(std::string displayName) : displayName_(std::move(displayName)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "clipboard eventfd");
    thread_ = std::thread([this] { Run(); });
  }

  ~Owner() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    Wake();
    thread_.join();
    ::close(wake_);
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  void Set(std::string utf8) {
    {
      std::lock_guard lock(mutex_);
      pending_ = std::move(utf8);
    }
    Wake();
  }

 private:
  enum AtomIndex { kClipboard, kTargets, kUtf8, kText, kTimestamp, kStampProperty, kAtomCount };

  void Wake() {
    const std::uint64_t one = 1;
    // Fails only when the counter is full, and then the thread wakes anyway.
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
  }

  void Run() {
    try {
      for (;;) {
        std::optional<std::string> text;
        if (!TakeWork(&text)) break;
        if (text) Offer(std::move(*text));
        // Round trips leave events in Xlib's queue where poll cannot see them.
        while (display_ && !lost_ && XPending(display_) > 0) {
          XEvent event;
          XNextEvent(display_, &event);
          Handle(event);
        }
        ForgetIfLost();
        pollfd fds[2] = {{wake_, POLLIN, 0}, {display_ ? ConnectionNumber(display_) : -1, POLLIN, 0}};
        ::poll(fds, 2, -1);
      }
    } catch (const std::exception& e) {
      Log() << "[Clipboard] The clipboard thread failed: " << e.what();
    }
    Close();
  }

  /// False when the thread is to end.
  bool TakeWork(std::optional<std::string>* text) {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(wake_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    if (stop_) return false;
    *text = std::move(pending_);
    pending_.reset();
    return true;
  }

  void Offer(std::string text) {
    if (text.size() > kMaxText) {
      if (auto p = cutLog_.Next()) Log() << "[Clipboard] Text of " << text.size() << " bytes cut to " << kMaxText << p;
      std::size_t end = kMaxText;
      while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
      text.resize(end);
    }
    if (!display_ && !Open()) {
      if (auto p = droppedLog_.Next()) Log() << "[Clipboard] No X display; clipboard text dropped" << p;
      return;
    }
    text_ = std::move(text);
    ownedSince_ = ServerTime();
    XSetSelectionOwner(display_, atoms_[kClipboard], window_, ownedSince_);
    owned_ = XGetSelectionOwner(display_, atoms_[kClipboard]) == window_;
    if (lost_) return;
    if (owned_) {
      if (auto p = setLog_.Next()) Log() << "[Clipboard] Clipboard set successfully" << p;
    } else {
      text_ = {};
      if (auto p = failLog_.Next()) Log() << "[Clipboard] Could not own the CLIPBOARD selection" << p;
    }
  }

  bool Open() {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextOpen_) return false;
    nextOpen_ = now + kReopenInterval;
    display_ = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
    if (!display_) return false;
    lost_ = false;
    x11::Watch(display_, &lost_);
    char clipboard[] = "CLIPBOARD", targets[] = "TARGETS", utf8[] = "UTF8_STRING", text[] = "TEXT",
         timestamp[] = "TIMESTAMP", stamp[] = "VANDREL_CLIPBOARD_TIME";
    char* names[kAtomCount] = {clipboard, targets, utf8, text, timestamp, stamp};
    XInternAtoms(display_, names, kAtomCount, False, atoms_);
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent,
                            CWEventMask, &attributes);
    long words = XExtendedMaxRequestSize(display_);
    if (words == 0) words = XMaxRequestSize(display_);
    maxProperty_ = words * 4 > kRequestHeadroom ? static_cast<std::size_t>(words * 4 - kRequestHeadroom) : 0;
    return !lost_;
  }

  // ICCCM wants a real timestamp for ownership, and a zero-length append to a
  // property of our own is how a client asks the server for one.
  Time ServerTime() {
    const unsigned char nothing = 0;
    XChangeProperty(display_, window_, atoms_[kStampProperty], XA_STRING, 8, PropModeAppend, &nothing, 0);
    // The server queues the PropertyNotify before the reply XSync waits for.
    XSync(display_, False);
    XEvent event;
    auto ours = [](Display*, XEvent* e, XPointer self) -> Bool {
      const auto* owner = reinterpret_cast<const Owner*>(self);
      return e->type == PropertyNotify && e->xproperty.window == owner->window_ &&
             e->xproperty.atom == owner->atoms_[kStampProperty];
    };
    if (!lost_ && XCheckIfEvent(display_, &event, ours, reinterpret_cast<XPointer>(this))) return event.xproperty.time;
    return CurrentTime;
  }

  void Handle(XEvent& event) {
    if (event.type == SelectionRequest) {
      Answer(event.xselectionrequest);
    } else if (event.type == SelectionClear && event.xselectionclear.selection == atoms_[kClipboard] && owned_) {
      // A clear from before our latest XSetSelectionOwner is stale.
      if (XGetSelectionOwner(display_, atoms_[kClipboard]) == window_ || lost_) return;
      owned_ = false;
      text_ = {};
      if (auto p = clearLog_.Next()) Log() << "[Clipboard] Another program took the clipboard" << p;
    }
  }

  void Answer(const XSelectionRequestEvent& request) {
    XSelectionEvent notify{};
    notify.type = SelectionNotify;
    notify.display = display_;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.time = request.time;
    // Clients older than ICCCM leave the property to the owner: the target names it.
    const Atom property = request.property != None ? request.property : request.target;
    notify.property = Reply(request, property) ? property : None;
    XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&notify));
  }

  /// Writes the data for the request's target; false to refuse it.
  bool Reply(const XSelectionRequestEvent& request, Atom property) {
    if (!owned_ || request.selection != atoms_[kClipboard] || request.owner != window_) return false;
    if (request.time != CurrentTime && ownedSince_ != CurrentTime && Earlier(request.time, ownedSince_)) return false;
    const Atom target = request.target;
    if (target == atoms_[kTargets]) {
      const Atom list[] = {atoms_[kTargets], atoms_[kUtf8], XA_STRING, atoms_[kText], atoms_[kTimestamp]};
      XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(list), static_cast<int>(std::size(list)));
      return true;
    }
    if (target == atoms_[kTimestamp]) {
      // Format 32 data is an array of long for Xlib, whatever the width of long.
      const long time = static_cast<long>(ownedSince_);
      XChangeProperty(display_, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&time), 1);
      return true;
    }
    std::string latin1;
    const std::string* bytes = &text_;
    Atom type = atoms_[kUtf8];
    if (target == XA_STRING) {
      latin1 = Latin1(text_);
      bytes = &latin1;
      type = XA_STRING;
    } else if (target != atoms_[kUtf8] && target != atoms_[kText]) {
      return false;
    }
    if (bytes->size() > maxProperty_) {
      if (auto p = refusedLog_.Next()) Log() << "[Clipboard] Text too large for this X server; paste refused" << p;
      return false;
    }
    XChangeProperty(display_, request.requestor, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bytes->data()), static_cast<int>(bytes->size()));
    return true;
  }

  void ForgetIfLost() {
    if (!display_ || !lost_) return;
    Log() << "[Clipboard] Lost the X display; the clipboard text is gone";
    // Xlib sends nothing more on a failed connection; closing only frees it.
    XCloseDisplay(display_);
    x11::Unwatch(display_);
    display_ = nullptr;
    window_ = 0;
    owned_ = false;
    text_ = {};
    lost_ = false;
    nextOpen_ = {};
  }

  void Close() {
    if (!display_) return;
    if (!lost_) XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
    x11::Unwatch(display_);
    display_ = nullptr;
  }

  const std::string displayName_;
  const int wake_;
  std::mutex mutex_;
  std::optional<std::string> pending_;
  bool stop_ = false;
  // The rest belongs to the thread.
  Display* display_ = nullptr;
  std::atomic<bool> lost_{false};
  Window window_ = 0;
  Atom atoms_[kAtomCount] = {};
  std::size_t maxProperty_ = 0;
  std::string text_;
  Time ownedSince_ = CurrentTime;
  bool owned_ = false;
  std::chrono::steady_clock::time_point nextOpen_{};
  LogLimiter droppedLog_, setLog_, failLog_, clearLog_, cutLog_, refusedLog_;
  std::thread thread_;
};

X11Clipboard::X11Clipboard(std::string displayName) : owner_(std::make_unique<Owner>(std::move(displayName))) {}

X11Clipboard::~X11Clipboard() = default;

void X11Clipboard::Set(std::string utf8) { owner_->Set(std::move(utf8)); }

}  // namespace vandrel::InputManager
