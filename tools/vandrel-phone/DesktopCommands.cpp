#include "vandrel-phone/DesktopCommands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/PacketCodec.h"
#include "vandrel-phone/AppListDecode.h"
#include "vandrel-phone/ByteText.h"
#include "vandrel-phone/PhoneClient.h"

namespace vandrel::phone {
namespace {

using Clock = std::chrono::steady_clock;

// The PC reads every window's icon before it answers, which can take longer
// than the default --timeout on a crowded desktop.
constexpr Seconds kAppListWait{15.0};

struct SmartMediaName {
  std::string_view name;
  std::uint8_t action;
};

constexpr SmartMediaName kSmartMediaNames[] = {{"play", 0}, {"fullscreen", 1}, {"bullet", 2}};

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// Decimal, or hex after 0x; no sign, no blanks, nothing after the digits.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

std::string Hex64(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

std::string Quoted(std::string_view text) { return "\"" + EscapeText(text) + "\""; }

std::string PathText(const std::filesystem::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The PC answers none of these; the PONG after them means it has read the packet.
int SendConfirmed(const CommandContext& context, const Bytes& packet, const std::string& what) {
  PhoneClient client(context.options.timeout);
  OpenSession(context, client);
  client.Send(packet);
  client.Ping();
  context.out << "sent " << what << '\n';
  return 0;
}

// LAUNCH_APP and OPEN_URL carry their text behind a one-byte length.
void CheckShortText(const std::string& text, const std::string& what) {
  if (text.size() > kMaxShortTextBytes) {
    throw UsageError(what + " is " + std::to_string(text.size()) + " bytes; at most " +
                     std::to_string(kMaxShortTextBytes) + " fit in the packet");
  }
}

// `[--icons DIR]` or `[--icons=DIR]`: the folder, if given, checked before connecting.
std::optional<std::filesystem::path> ParseIconsFolder(std::span<const std::string> args) {
  if (args.empty()) return std::nullopt;
  std::string folder;
  constexpr std::string_view kFlag = "--icons";
  if (args.size() == 2 && args[0] == kFlag) {
    folder = args[1];
  } else if (args.size() == 1 && args[0].starts_with("--icons=")) {
    folder = args[0].substr(kFlag.size() + 1);
  } else {
    throw UsageError("usage: vandrel-phone [options] apps [--icons DIR]");
  }
  if (folder.empty()) throw UsageError("apps --icons needs a folder");
  const std::filesystem::path path(folder);
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) {
    throw PhoneError(ErrorKind::File, "the icon folder " + folder + " does not exist or is not a folder");
  }
  return path;
}

// Waits for APP_LIST_DATA, passing over whatever else the PC sends meanwhile.
Bytes ReceiveAppList(PhoneClient& client, Seconds wait) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
  for (;;) {
    const Seconds left = std::max(Seconds::zero(), Seconds(deadline - Clock::now()));
    Received answer = client.ReceivePacket(left);
    if (answer.status == ReceiveStatus::Closed) throw PhoneError(ErrorKind::Closed, "connection closed by the PC");
    if (answer.status == ReceiveStatus::TimedOut) {
      throw PhoneError(ErrorKind::TimedOut, "no APP_LIST_DATA from the PC within " + FormatSeconds(wait));
    }
    if (const auto payload = packet::ReadAppListData(answer.packet)) return Bytes(payload->begin(), payload->end());
  }
}

void WriteIcon(const std::filesystem::path& file, const Bytes& icon) {
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(icon.data()), static_cast<std::streamsize>(icon.size()));
  stream.close();
  if (!stream) throw PhoneError(ErrorKind::File, "cannot write " + PathText(file));
}

}  // namespace

std::uint64_t ParseWindowHandle(const std::string& text) {
  if (const auto value = ParseUnsigned(text)) return *value;
  throw UsageError("switch needs a window handle in decimal or 0x hex (up to 64 bits), not '" + text + "'");
}

std::uint8_t ParseSmartMediaAction(const std::string& text) {
  const std::string name = Lower(text);
  for (const SmartMediaName& entry : kSmartMediaNames) {
    if (entry.name == name) return entry.action;
  }
  if (const auto value = ParseUnsigned(name); value && *value <= 0xFF) return static_cast<std::uint8_t>(*value);
  throw UsageError("'" + text + "' is no smart-media action: give play, fullscreen, bullet or 0..255");
}

int RunApps(const CommandContext& context, std::span<const std::string> args) {
  const auto icons = ParseIconsFolder(args);

  PhoneClient client(context.options.timeout);
  OpenSession(context, client);
  client.Send(packet::Simple(Command::GetAppList));
  const Bytes payload = ReceiveAppList(client, std::max(context.options.timeout, kAppListWait));
  client.Close();

  std::vector<AppEntry> entries;
  try {
    entries = DecodeAppList(payload);
  } catch (const AppListError& e) {
    throw PhoneError(ErrorKind::Protocol, e.what());
  }
  std::size_t written = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const AppEntry& app = entries[i];
    context.out << i << (app.running ? " running" : " pinned") << " hwnd=" << Hex64(app.hwnd)
                << " name=" << Quoted(app.name) << " process=" << Quoted(app.process) << " icon=" << app.icon.size()
                << " path=" << Quoted(app.path) << '\n';
    if (icons && !app.icon.empty()) {
      WriteIcon(*icons / (std::to_string(i) + ".png"), app.icon);
      ++written;
    }
  }
  context.out << "apps: " << entries.size() << '\n';
  if (icons) context.out << "icons: " << written << " written to " << PathText(*icons) << '\n';
  return 0;
}

int RunSwitch(const CommandContext& context, std::span<const std::string> args) {
  const std::uint64_t hwnd = ParseWindowHandle(args[0]);
  return SendConfirmed(context, packet::SwitchApp(hwnd), "SWITCH_APP hwnd=" + Hex64(hwnd));
}

int RunLaunch(const CommandContext& context, std::span<const std::string> args) {
  CheckShortText(args[0], "launch: the path");
  return SendConfirmed(context, packet::LaunchApp(args[0]), "LAUNCH_APP path=" + Quoted(args[0]));
}

int RunOpen(const CommandContext& context, std::span<const std::string> args) {
  CheckShortText(args[0], "open: the address");
  return SendConfirmed(context, packet::OpenUrl(args[0]), "OPEN_URL url=" + Quoted(args[0]));
}

int RunSmartMedia(const CommandContext& context, std::span<const std::string> args) {
  const std::uint8_t action = ParseSmartMediaAction(args[0]);
  std::string what = "SMART_MEDIA action=" + std::to_string(action);
  for (const SmartMediaName& entry : kSmartMediaNames) {
    if (entry.action == action) what += " (" + std::string(entry.name) + ")";
  }
  return SendConfirmed(context, packet::SmartMedia(action), what);
}

// The PC hides a session's spot when the session ends: --hold keeps it open,
// PINGing so that the PC's idle limit does not end it either.
int RunLaser(const CommandContext& context, std::span<const std::string> args) {
  const std::string state = Lower(args[0]);
  if (state != "on" && state != "off") throw UsageError("'" + args[0] + "' is no laser state: give on or off");
  std::uint64_t hold = 0;
  if (args.size() > 1) {
    const auto seconds = args.size() == 3 && args[1] == "--hold" ? ParseUnsigned(args[2]) : std::nullopt;
    if (!seconds || *seconds > 3600) throw UsageError("laser takes on|off [--hold SECONDS], at most 3600 seconds");
    hold = *seconds;
  }
  PhoneClient client(context.options.timeout);
  OpenSession(context, client);
  const std::uint8_t command = state == "on" ? 25 : 26;
  client.Send(std::span<const std::uint8_t>(&command, 1));
  client.Ping();
  context.out << "sent " << (state == "on" ? "LASER_ON" : "LASER_OFF") << '\n';
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(hold);
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(2),
                                                                             until - std::chrono::steady_clock::now()));
    client.Ping();
  }
  return 0;
}

}  // namespace vandrel::phone
