// The Bluetooth LE session behind a fake GATT server: writes, the central
// coming and going, the password handshake, file transfer, desktop commands
// and the GUI thread's pump.
//
// Input: mode byte (bit 0: a password is set; bit 1: the desktop commands
// have a desktop), then steps. A step is one byte: 0-3 a write of the
// length in the next byte and those bytes, 4 the central subscribes, 5 it
// leaves, 6 it answers the last challenge correctly, 7 the GUI pump runs.
#include <memory>

#include "FakeAutoStart.h"
#include "FakeDesktop.h"
#include "FuzzSupport.h"
#include "InputRig.h"
#include "ble/BleConnection.h"
#include "ble/BleGattServer.h"
#include "desktop/DesktopWorkers.h"
#include "desktop/LaserOverlay.h"
#include "infra/Settings.h"
#include "protocol/AuthDigest.h"

namespace vandrel::fuzz {
namespace {

constexpr const char* kPassword = "fuzz-secret";

// Takes the session's notifications as a subscribed central would and keeps
// the last challenge; its callbacks are wired the way the Server wires them.
class FakeGatt final : public BleGattServer {
 public:
  bool start() override { return true; }
  void stop() override {}
  bool isRunning() const override { return true; }
  bool isCentralConnected() const override { return true; }
  bool notify(std::span<const std::uint8_t> bytes) override {
    std::lock_guard lock(mutex_);
    if (auto nonce = packet::ReadAuthRequest(bytes)) nonce_ = *nonce;
    return true;
  }
  std::optional<AuthNonce> nonce() const {
    std::lock_guard lock(mutex_);
    return nonce_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<AuthNonce> nonce_;
};

Settings* g_open = nullptr;
Settings* g_guarded = nullptr;
std::string g_folder;
InputRig* g_input = nullptr;

Settings* MakeSettings(const std::string& file, const std::string& password) {
  auto* settings = new Settings([file] { return file; }, std::make_shared<testing::FakeAutoStart>());
  settings->SetConnectionPassword(password);
  return settings;
}

void SetUp() {
  QuietLog();
  g_folder = ScratchDir() + "/desktop";
  std::filesystem::create_directories(g_folder);
  g_open = MakeSettings(ScratchDir() + "/settings-open.ini", "");
  g_guarded = MakeSettings(ScratchDir() + "/settings-guarded.ini", kPassword);
  g_input = new InputRig;
}

void RunOne(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t mode = in.Byte();
  InputQueue& queue = g_input->queue();
  testing::FakeDesktop desktop;
  std::unique_ptr<desktop::DesktopWorkers> workers;
  if (mode & 2) workers = std::make_unique<desktop::DesktopWorkers>(&desktop);
  std::unique_ptr<desktop::LaserOverlay> overlay;  // the pump's, outliving the session
  {
    FakeGatt gatt;
    BleConnection session(
        &queue, (mode & 1) ? g_guarded : g_open, [&gatt](std::span<const std::uint8_t> packet) { gatt.notify(packet); },
        workers.get(), BleTiming{}, [] { return g_folder; });
    gatt.writeCallback = [&session](const std::vector<std::uint8_t>& packet) {
      session.HandlePacket(packet.data(), packet.size());
    };
    gatt.statusCallback = [&session](const std::string& text) {
      if (text == "BLE: Central connected") session.OnCentralConnected();
      if (text == "BLE: Central disconnected") session.OnCentralDisconnected();
    };
    while (!in.empty()) {
      const std::uint8_t step = in.Byte() % 8;
      if (step < 4) {
        const auto packet = in.Take(in.Byte());
        // The backend never delivers an empty write.
        if (!packet.empty()) gatt.writeCallback(packet);
      } else if (step == 4) {
        gatt.statusCallback("BLE: Central connected");
      } else if (step == 5) {
        gatt.statusCallback("BLE: Central disconnected");
      } else if (step == 6) {
        if (const auto nonce = gatt.nonce()) gatt.writeCallback(packet::AuthPassword(ComputeAuthDigest(*nonce, kPassword)));
      } else {
        session.RunGuiWork(overlay);
        session.CheckHeartbeat();
      }
    }
    gatt.statusCallback("BLE: Central disconnected");
    session.Shutdown();
    // The desktop jobs hold only what they need; they end before the desktop goes.
    if (workers) workers->Stop();
    session.RunGuiWork(overlay);
  }
  overlay.reset();
  g_input->Settle();
  CheckScratchHoldsOnly({"desktop", "settings-open.ini", "settings-guarded.ini"});
  ClearFolder(g_folder);
}

}  // namespace
}  // namespace vandrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::SetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vandrel::fuzz::RunOne(data, size);
  return 0;
}
