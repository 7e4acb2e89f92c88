#include "input/InputDump.h"

#include <charconv>
#include <mutex>

#include "infra/Logger.h"
#include "infra/Platform.h"
#include "input/Injector.h"

namespace vandrel::InputManager {
namespace {

std::string Hex(unsigned value) {
  char text[16];
  const auto result = std::to_chars(std::begin(text), std::end(text), value, 16);
  return std::string(text, result.ptr);
}

std::string KeyLine(const KeyRecord& key) {
  return std::string("[SendInput] ") + (key.up ? "KEYUP" : "KEYDOWN") + " VK=" + VirtualKeyName(key.vk) + " (0x" +
         Hex(key.vk) + ")";
}

std::string MouseLine(const MouseRecord& mouse) {
  std::string words;
  if (mouse.flags & kMouseLeftDown) words += "LEFTDOWN ";
  if (mouse.flags & kMouseLeftUp) words += "LEFTUP ";
  if (mouse.flags & kMouseRightDown) words += "RIGHTDOWN ";
  if (mouse.flags & kMouseRightUp) words += "RIGHTUP ";
  if (mouse.flags & kMouseMove) {
    words += "MOVE(" + std::to_string(mouse.dx) + "," + std::to_string(mouse.dy) + ") ";
  }
  if (mouse.flags & kMouseWheel) words += "WHEEL(" + std::to_string(mouse.wheel) + ") ";
  // Middle button and horizontal wheel records have no words of their own.
  if (words.empty()) words = "UNKNOWN";
  return "[SendInput] MOUSE " + words;
}

}  // namespace

bool DumpWantedFor(const std::optional<std::string>& setting) {
  if (!setting || setting->empty()) return true;
  const char first = setting->front();
  return first != '0' && first != 'F' && first != 'f';
}

bool DumpEnabled() {
  static const bool enabled = DumpWantedFor(platform::Environment(kDumpVariable));
  return enabled;
}

std::string DumpLine(const InputRecord& record) {
  if (const auto* key = std::get_if<KeyRecord>(&record)) return KeyLine(*key);
  return MouseLine(std::get<MouseRecord>(record));
}

unsigned Injector::Send(std::span<const InputRecord> batch) {
  // One batch at a time, so its dump lines stay together and a mechanism
  // never sees the operations' thread and the auto-repeat thread at once.
  std::lock_guard lock(sendMutex_);
  if (DumpEnabled()) {
    for (const auto& record : batch) Log() << DumpLine(record);
  }
  return SendBatch(batch);
}

}  // namespace vandrel::InputManager
