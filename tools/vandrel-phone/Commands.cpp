#include "vandrel-phone/Commands.h"

#include <algorithm>
#include <chrono>
#include <sstream>

#include "protocol/AuthDigest.h"
#include "protocol/PacketCodec.h"
#include "vandrel-phone/ByteText.h"
#include "vandrel-phone/DesktopCommands.h"
#include "vandrel-phone/Discover.h"
#include "vandrel-phone/FileSource.h"
#include "vandrel-phone/InputCommands.h"
#include "vandrel-phone/InputText.h"
#include "vandrel-phone/PhoneClient.h"
#include "Version.h"

namespace vandrel::phone {
namespace {

using Clock = std::chrono::steady_clock;

// How long `raw` keeps listening after the last packet: answers to a single
// command come back within milliseconds on a local network.
constexpr Seconds kRawQuietWindow{0.5};

void Report(const CommandContext& context, std::span<const std::uint8_t> packet) {
  context.out << "received " << DescribePacket(packet) << '\n';
}

int RunPing(const CommandContext& context, std::span<const std::string>) {
  PhoneClient client(context.options.timeout);
  OpenSession(context, client);
  const Seconds roundTrip = client.Ping();
  context.out << "PONG received in " << FormatElapsed(roundTrip) << '\n';
  return 0;
}

int RunRaw(const CommandContext& context, std::span<const std::string> args) {
  Bytes bytes;
  try {
    bytes = ParseHexBytes(args);
  } catch (const HexError& e) {
    throw UsageError(std::string("raw: ") + e.what());
  }

  PhoneClient client(context.options.timeout);
  OpenSession(context, client);
  client.Send(bytes);
  context.out << "sent " << bytes.size() << (bytes.size() == 1 ? " byte: " : " bytes: ") << ToHex(bytes) << '\n';

  // Listen until the PC has been quiet for a moment, never beyond --timeout.
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(context.options.timeout);
  const Seconds window = std::min(kRawQuietWindow, context.options.timeout);
  bool any = false;
  for (;;) {
    const Seconds left = deadline - Clock::now();
    if (left <= Seconds::zero()) break;
    const Received answer = client.ReceivePacket(std::min(window, left));
    if (answer.status == ReceiveStatus::TimedOut) break;
    if (answer.status == ReceiveStatus::Closed) throw PhoneError(ErrorKind::Closed, "connection closed by the PC");
    Report(context, answer.packet);
    any = true;
  }
  if (!any) context.out << "received nothing within " << FormatSeconds(window) << '\n';
  return 0;
}

int RunSendFile(const CommandContext& context, std::span<const std::string> args) {
  // Opened first: a missing file should not cost the PC a connection.
  FileSource file(args[0]);

  PhoneClient client(context.options.timeout);
  OpenSession(context, client);
  const auto start = Clock::now();
  client.SendFile(file);
  // The PC sends no acknowledgement for files; its PONG means it has read them.
  client.Ping();
  const Seconds elapsed = Clock::now() - start;
  context.out << "sent " << file.name() << ": " << file.size() << " bytes in " << FormatElapsed(elapsed) << " ("
              << FormatRate(file.size(), elapsed) << ")\n";
  return 0;
}

std::string UsageLine(const CommandSpec& command) {
  std::string line = "vandrel-phone [options] " + std::string(command.name);
  if (!command.arguments.empty()) line += " " + std::string(command.arguments);
  return line;
}

void CheckArgumentCount(const CommandSpec& command, std::size_t count) {
  if (count < command.minArgs || count > command.maxArgs) throw UsageError("usage: " + UsageLine(command));
}

constexpr CommandSpec kCommands[] = {
    {"ping", "", "measure the round trip of PING and PONG", 0, 0, RunPing},
    {"raw", "HEX...", "send bytes typed in hex (21, 2106, \"21 06 ff\", 0x21), name the answers", 1, kAnyCount, RunRaw},
    {"send-file", "PATH", "send a file to the PC's desktop and wait until it has arrived", 1, 1, RunSendFile},
    {"move", "DX DY", "MOVE by UDP: the PC moves the pointer by -DX, -DY (each -128..127)", 2, 2, RunMove},
    {"click", "left|right|middle|double", "LCLICK, RCLICK, MCLICK or DBLCLICK", 1, 1, RunClick},
    {"down", "", "DOWN: hold the left button", 0, 0, RunButtonDown},
    {"up", "", "UP: release the left button", 0, 0, RunButtonUp},
    {"scroll", "N", "SCROLL by N (-128..127)", 1, 1, RunScroll},
    {"hscroll", "N", "SCROLL_H by N (-128..127)", 1, 1, RunHScroll},
    {"zoom", "N", "ZOOM by N (-128..127)", 1, 1, RunZoom},
    {"key", "USAGE [MODS]", "KEYCLICK by UDP: press and release a key", 1, 2, RunKeyClick},
    {"keydown", "USAGE [MODS]", "KEYDOWN by UDP: hold a key", 1, 2, RunKeyDown},
    {"keyup", "USAGE [MODS]", "KEYUP by UDP: release a held key", 1, 2, RunKeyUp},
    {"media", "ACTION", "MEDIA: next, previous, play, mute, up, down (volume), right, left, or hex", 1, 1,
     RunMedia},
    {"clipboard", "TEXT", "CLIPBOARD by UDP: the text becomes the PC's clipboard", 1, 1, RunClipboard},
    {"system", "USAGE", "SYSTEM by UDP: shutdown, sleep, wake, restart, logoff, lock, or hex", 1, 1, RunSystem},
    {"brightness", "up|down", "BRIGHTNESS_STEP: one step brighter or darker", 1, 1, RunBrightness},
    {"type", "TEXT", "type printable ASCII as KEYCLICKs by UDP, 15 ms apart", 1, 1, RunType},
    {"apps", "[--icons DIR]",
     "GET_APP_LIST: list the PC's apps (waits 15 s, or --timeout if longer), icons as DIR/INDEX.png", 0, 2, RunApps},
    {"switch", "HWND", "SWITCH_APP: bring the window to the front (handle in decimal or 0x hex, from apps)", 1, 1,
     RunSwitch},
    {"launch", "PATH", "LAUNCH_APP: start the program at PATH on the PC (at most 255 bytes)", 1, 1, RunLaunch},
    {"open", "URL", "OPEN_URL: open the address on the PC (one argument, at most 255 bytes)", 1, 1, RunOpen},
    {"smart-media", "play|fullscreen|bullet|N", "SMART_MEDIA: the key that suits the foreground app (N 0..255)", 1, 1,
     RunSmartMedia},
    {"laser", "on|off [--hold SECONDS]", "LASER_ON/LASER_OFF; --hold keeps the session (and so the spot) that long", 1,
     3, RunLaser},
    {"discover", "[--mdns] [--wait SECONDS] [--to ADDRESS]",
     "list the PCs that answer the UDP probe, or mDNS with --mdns, within the wait (2 s)", 0, 5, RunDiscover},
};

}  // namespace

std::span<const CommandSpec> CommandTable() { return kCommands; }

const CommandSpec* FindCommand(std::string_view name) {
  const auto table = CommandTable();
  const auto found = std::find_if(table.begin(), table.end(), [&](const CommandSpec& c) { return c.name == name; });
  return found == table.end() ? nullptr : &*found;
}

void OpenSession(const CommandContext& context, PhoneClient& client) {
  const Options& options = context.options;
  client.Connect(options.host, options.port, options.hello);
  const HandshakeResult result = client.Handshake(options.password);
  if (client.PasswordAsked()) {
    context.out << "received AUTH_REQUEST\n";
    if (options.password) context.out << "sent AUTH_PASSWORD\n";
  }
  switch (result) {
    case HandshakeResult::Success:
      context.out << "received AUTH_SUCCESS\n";
      return;
    case HandshakeResult::PasswordRequired:
      throw PhoneError(ErrorKind::Protocol, "the PC asks for a password; pass --password");
    case HandshakeResult::Fail:
      context.out << "received AUTH_FAIL\n";
      if (!client.PasswordAsked()) throw PhoneError(ErrorKind::Protocol, "the PC refused the phone (AUTH_FAIL)");
      throw PhoneError(ErrorKind::Protocol, "wrong password (AUTH_FAIL)");
    case HandshakeResult::TimedOut:
      throw PhoneError(ErrorKind::TimedOut, client.TimeoutReason());
    case HandshakeResult::Closed:
      throw PhoneError(ErrorKind::Closed, "connection closed by the PC");
    case HandshakeResult::Unexpected:
      break;
  }
  throw PhoneError(ErrorKind::Protocol,
                   "the PC answered the hello with " + DescribePacket(client.LastHandshakePacket()));
}

std::string HelpText() {
  std::ostringstream text;
  text << "Usage: vandrel-phone [options] COMMAND [args]\n"
          "Plays the phone's side of the Vandrel link: connects, sends the device hello,\n"
          "answers the password challenge and then runs COMMAND.\n"
          "\n"
          "Options (before COMMAND):\n"
          "  --host H            the PC's name or address (default 127.0.0.1)\n"
          "  --port N            its TCP port (default 6969)\n"
          "  --password P        answer a password challenge with P (default: none)\n"
          "  --hello M/N/Mo/K    device hello: maker/name/model/kind, kind 0 = USB\n"
       << "                      (default " << kDefaultHello << ")\n"
       << "  --timeout SECONDS   bound on connecting and on every wait (default 5)\n"
          "  --discovery-port N  the PCs' UDP discovery port, for discover (default 6970)\n"
          "  --mdns-port N       their mDNS port, for discover --mdns (default 5353)\n"
          "  --udp               send clicks, DOWN, UP, scrolls and zooms as UDP datagrams\n"
          "  --tcp               send them over the TCP session (the default); MOVE and\n"
          "                      the key commands always go by UDP, to the same port\n"
          "  --help, --version\n"
          "\n"
          "Commands:\n";
  // A head too long for the column gets a line of its own, so that one
  // command with many options does not push every summary off the screen.
  constexpr std::size_t kMaxHeadWidth = 32;
  std::size_t width = 0;
  for (const CommandSpec& command : CommandTable()) {
    const std::size_t size = command.name.size() + 1 + command.arguments.size();
    if (size <= kMaxHeadWidth) width = std::max(width, size);
  }
  for (const CommandSpec& command : CommandTable()) {
    std::string head = std::string(command.name) + " " + std::string(command.arguments);
    if (head.size() > width) {
      text << "  " << head << '\n';
      head.clear();
    }
    head.resize(width, ' ');
    text << "  " << head << "  " << command.summary << '\n';
  }
  text << "\n" << KeyNamesHelp()
       << "\n"
          "Exit status: 0 on success, 1 on failure (the reason on standard error),\n"
          "2 for a malformed command line.\n";
  return text.str();
}

int RunPhone(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  try {
    const Options options = ParseOptions(args);
    if (options.help) {
      out << HelpText();
      return 0;
    }
    if (options.version) {
      out << "vandrel-phone " << kVersion << '\n';
      return 0;
    }
    const CommandSpec* command = FindCommand(options.command);
    if (command == nullptr) throw UsageError("unknown command " + options.command);
    if (options.args.size() == 1 && (options.args[0] == "--help" || options.args[0] == "-h")) {
      out << "Usage: " << UsageLine(*command) << "\n  " << command->summary << '\n';
      return 0;
    }
    CheckArgumentCount(*command, options.args.size());
    return command->run(CommandContext{options, out}, options.args);
  } catch (const UsageError& e) {
    err << "vandrel-phone: " << e.what() << " (try --help)\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    // Results printed so far come first, then the one-line reason.
    out.flush();
    err << "vandrel-phone: " << e.what() << '\n';
    return kExitFailure;
  }
}

}  // namespace vandrel::phone
