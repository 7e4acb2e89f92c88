// The session's desktop commands: checked and logged on the network thread,
// done by the desktop workers.
#include <cstring>

#include "desktop/AppInfo.h"
#include "desktop/Desktop.h"
#include "desktop/DesktopWorkers.h"
#include "desktop/LaserOverlay.h"
#include "infra/Logger.h"
#include "infra/PrintableText.h"
#include "protocol/Connection.h"

namespace vandrel {
namespace {

// The length-prefixed text of LAUNCH_APP and OPEN_URL; nothing when the
// length byte promises more than arrived.
std::optional<std::string> ShortText(const std::uint8_t* bytes, std::size_t length) {
  if (length < 2 || length < static_cast<std::size_t>(bytes[1]) + 2) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes + 2), bytes[1]);
}

const char* Outcome(bool ok) { return ok ? "OK" : "FAILED"; }

}  // namespace

void Connection::RunOnDesktop(std::function<void(desktop::Desktop&)> work, bool onlyForReply) {
  ++desktopJobs_;
  const bool queued = desktop_->Post([self = shared_from_this(), work = std::move(work), onlyForReply] {
    struct Done {
      Connection* session;
      ~Done() { session->DesktopJobDone(); }
    } done{self.get()};
    // Nobody waits for the answer of a phone that left; what it asked the
    // desktop to do is still done.
    if (!onlyForReply || !self->closed_) work(self->desktop_->desktop());
  });
  if (!queued) --desktopJobs_;
}

void Connection::DesktopJobDone() {
  if (desktopJobs_.fetch_sub(1) < kMaxDesktopJobs) return;
  // The network thread may be pausing right now: it decides, after its frame.
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->ResumeReading(); });
}

void Connection::ResumeReading() {
  if (!readPaused_ || closed_ || desktopJobs_.load() >= kMaxDesktopJobs) return;
  readPaused_ = false;
  lastActivity_ = std::chrono::steady_clock::now();
  Dispatch();
  if (!readPaused_) StartRead();
}

void Connection::HandleGetAppList() {
  if (auto permit = desktopCommands_.Next()) Log() << "[CONNECTION] Handling GET_APP_LIST request" << permit;
  RunOnDesktop([this](desktop::Desktop& desktop) {
    const auto apps = desktop.GetAppList();
    const auto packet = desktop::AppListDataPacket(apps);
    Log() << "[CONNECTION] Sending APP_LIST_DATA: " << apps.size() << " apps, " << packet.size() << " bytes total";
    Send(packet);
  }, true);
}

void Connection::HandleSwitchApp(const std::uint8_t* bytes, std::size_t length) {
  if (length < 9) return;
  std::uint64_t hwnd = 0;
  for (int i = 8; i >= 1; --i) hwnd = (hwnd << 8) | bytes[i];
  if (auto permit = desktopCommands_.Next()) Log() << "[CONNECTION] Handling SWITCH_APP, hwnd=" << hwnd << permit;
  RunOnDesktop([hwnd](desktop::Desktop& desktop) {
    // The call first: it may log, and a statement is one line.
    const bool ok = desktop.SwitchToWindow(hwnd);
    Log() << "[CONNECTION] SwitchToWindow result: " << Outcome(ok);
  });
}

void Connection::HandleLaunchApp(const std::uint8_t* bytes, std::size_t length) {
  auto path = ShortText(bytes, length);
  if (!path) return;
  // Control bytes are escaped: a phone must not be able to write log lines of its own.
  if (auto permit = desktopCommands_.Next()) {
    Log() << "[CONNECTION] Handling LAUNCH_APP, path=" << Printable(*path) << permit;
  }
  RunOnDesktop([path = std::move(*path)](desktop::Desktop& desktop) {
    const bool ok = desktop.LaunchApp(path);
    Log() << "[CONNECTION] LaunchApp result: " << Outcome(ok);
  });
}

void Connection::HandleOpenUrl(const std::uint8_t* bytes, std::size_t length) {
  auto url = ShortText(bytes, length);
  if (!url || url->empty()) return;
  if (auto permit = desktopCommands_.Next()) {
    Log() << "[CONNECTION] Handling OPEN_URL, url=" << Printable(*url) << permit;
  }
  RunOnDesktop([url = std::move(*url)](desktop::Desktop& desktop) {
    const bool ok = desktop.OpenUrl(url);
    Log() << "[CONNECTION] " << desktop.UrlOpenerName() << " result: " << Outcome(ok);
  });
}

void Connection::HandleSmartMedia(const std::uint8_t* bytes, std::size_t length) {
  if (length < 2) return;
  const std::uint32_t action = bytes[1];
  if (auto permit = desktopCommands_.Next()) {
    Log() << "[CONNECTION] Handling SMART_MEDIA, action=" << action << permit;
  }
  RunOnDesktop([action](desktop::Desktop& desktop) { desktop.HandleSmartMedia(action); });
}

void Connection::HandleLaserOn() {
  laserOn_ = true;
  if (!laserOverlay_) laserOverlay_ = desktop_->desktop().MakeLaserOverlay();
  // Negative: the overlay's own thread reads the pointer, so this thread never waits on the display.
  laserOverlay_->Show(-1, -1);
  if (auto permit = desktopCommands_.Next()) Log() << "[CONNECTION] LASER_ON: laser pointer overlay enabled" << permit;
}

void Connection::HandleLaserOff() {
  laserOn_ = false;
  if (laserOverlay_) laserOverlay_->Hide();
  if (auto permit = desktopCommands_.Next()) Log() << "[CONNECTION] LASER_OFF: laser pointer overlay hidden" << permit;
}

}  // namespace vandrel
