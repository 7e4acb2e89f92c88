#include "vandrel-phone/InputCommands.h"

#include <chrono>
#include <thread>
#include <vector>

#include "protocol/PacketCodec.h"
#include "vandrel-phone/InputText.h"
#include "vandrel-phone/PhoneClient.h"

namespace vandrel::phone {
namespace {

using Clock = std::chrono::steady_clock;

// Between typed keys, so a busy desktop takes each click before the next.
constexpr std::chrono::milliseconds kTypingPause{15};
// The PC drops a TCP session after 20 s without traffic, and datagrams do not
// count: a long run of them is interleaved with a PING well before that.
constexpr Clock::duration kKeepAlive = std::chrono::seconds(5);

enum class Transport { Tcp, Udp };

// The PC frames these as shorter than they are over TCP, so only UDP carries them whole.
constexpr Transport kUdpOnly = Transport::Udp;

Transport Chosen(const CommandContext& context) {
  return context.options.inputOverUdp ? Transport::Udp : Transport::Tcp;
}

// Opens the session, sends `packets` in order with `pause` between them and
// closes with a PING, whose PONG means the PC has read everything sent over
// TCP; the session stays open while datagrams go, as a password requires.
// Then reports "sent <what> over UDP".
int SendInput(const CommandContext& context, const std::vector<Bytes>& packets, Transport transport,
              const std::string& what, Clock::duration pause = Clock::duration::zero()) {
  PhoneClient client(context.options.timeout);
  OpenSession(context, client);
  auto lastPing = Clock::now();
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (i > 0 && pause > Clock::duration::zero()) std::this_thread::sleep_for(pause);
    if (transport == Transport::Udp) {
      client.SendDatagram(packets[i]);
    } else {
      client.Send(packets[i]);
    }
    if (Clock::now() - lastPing >= kKeepAlive) {
      client.Ping();
      lastPing = Clock::now();
    }
  }
  client.Ping();
  context.out << "sent " << what << " over " << (transport == Transport::Udp ? "UDP" : "TCP") << '\n';
  return 0;
}

int SendOne(const CommandContext& context, Bytes packet, Transport transport, const std::string& what) {
  return SendInput(context, std::vector<Bytes>{std::move(packet)}, transport, what);
}

using KeyBuilder = Bytes (*)(std::uint8_t key, std::uint8_t modifiers);

int SendKey(const CommandContext& context, std::span<const std::string> args, KeyBuilder build,
            const std::string& name) {
  const std::uint8_t usage = ParseKeyUsage(args[0]);
  const std::uint8_t modifiers = args.size() > 1 ? ParseModifiers(args[1]) : 0;
  return SendOne(context, build(usage, modifiers), kUdpOnly,
                 name + " key=" + HexByte(usage) + " mods=" + HexByte(modifiers));
}

int SendStep(const CommandContext& context, const std::string& text, Bytes (*build)(std::int8_t),
             const std::string& command, const std::string& name) {
  const std::int8_t step = ParseStep(text, command + " N");
  return SendOne(context, build(step), Chosen(context), name + " " + std::to_string(step));
}

}  // namespace

int RunMove(const CommandContext& context, std::span<const std::string> args) {
  const std::int8_t dx = ParseStep(args[0], "move DX");
  const std::int8_t dy = ParseStep(args[1], "move DY");
  return SendOne(context, packet::Move(dx, dy), kUdpOnly,
                 "MOVE dx=" + std::to_string(dx) + " dy=" + std::to_string(dy));
}

int RunClick(const CommandContext& context, std::span<const std::string> args) {
  struct Button {
    std::string_view name;
    Command command;
    const char* packetName;
  };
  static constexpr Button kButtons[] = {
      {"left", Command::LClick, "LCLICK"},
      {"right", Command::RClick, "RCLICK"},
      {"middle", Command::MClick, "MCLICK"},
      {"double", Command::DblClick, "DBLCLICK"},
  };
  for (const Button& button : kButtons) {
    if (button.name == args[0]) {
      return SendOne(context, packet::Simple(button.command), Chosen(context), button.packetName);
    }
  }
  throw UsageError("click needs left, right, middle or double, not '" + args[0] + "'");
}

int RunButtonDown(const CommandContext& context, std::span<const std::string>) {
  return SendOne(context, packet::Simple(Command::Down), Chosen(context), "DOWN");
}

int RunButtonUp(const CommandContext& context, std::span<const std::string>) {
  return SendOne(context, packet::Simple(Command::Up), Chosen(context), "UP");
}

int RunScroll(const CommandContext& context, std::span<const std::string> args) {
  return SendStep(context, args[0], packet::Scroll, "scroll", "SCROLL");
}

int RunHScroll(const CommandContext& context, std::span<const std::string> args) {
  return SendStep(context, args[0], packet::ScrollH, "hscroll", "SCROLL_H");
}

int RunZoom(const CommandContext& context, std::span<const std::string> args) {
  return SendStep(context, args[0], packet::Zoom, "zoom", "ZOOM");
}

int RunKeyClick(const CommandContext& context, std::span<const std::string> args) {
  return SendKey(context, args, packet::KeyClick, "KEYCLICK");
}

int RunKeyDown(const CommandContext& context, std::span<const std::string> args) {
  return SendKey(context, args, packet::KeyDown, "KEYDOWN");
}

int RunKeyUp(const CommandContext& context, std::span<const std::string> args) {
  return SendKey(context, args, packet::KeyUp, "KEYUP");
}

int RunType(const CommandContext& context, std::span<const std::string> args) {
  // Checked whole before connecting, so a bad character sends nothing at all.
  const std::vector<KeyStroke> strokes = KeyStrokesFor(args[0]);
  std::vector<Bytes> packets;
  packets.reserve(strokes.size());
  for (const KeyStroke& stroke : strokes) packets.push_back(packet::KeyClick(stroke.usage, stroke.modifiers));
  const std::string count = std::to_string(packets.size()) + (packets.size() == 1 ? " KEYCLICK" : " KEYCLICKs");
  return SendInput(context, packets, kUdpOnly, count, kTypingPause);
}

int RunMedia(const CommandContext& context, std::span<const std::string> args) {
  const std::uint8_t action = ParseMediaAction(args[0]);
  return SendOne(context, packet::Media(action), Chosen(context), "MEDIA action=" + HexByte(action));
}

int RunClipboard(const CommandContext& context, std::span<const std::string> args) {
  // The TCP frame of CLIPBOARD is its command byte alone.
  return SendOne(context, packet::Clipboard(args[0]), kUdpOnly,
                 "CLIPBOARD of " + std::to_string(args[0].size()) + (args[0].size() == 1 ? " byte" : " bytes"));
}

int RunSystem(const CommandContext& context, std::span<const std::string> args) {
  constexpr std::uint8_t kGenericDesktop = 0x01;
  const std::uint8_t usage = ParseSystemUsage(args[0]);
  // Over TCP the PC would read the page and lose the usage.
  return SendOne(context, packet::System(kGenericDesktop, usage), kUdpOnly,
                 "SYSTEM page=" + HexByte(kGenericDesktop) + " usage=" + HexByte(usage));
}

int RunBrightness(const CommandContext& context, std::span<const std::string> args) {
  if (args[0] != "up" && args[0] != "down") throw UsageError("brightness needs up or down, not '" + args[0] + "'");
  const bool brighter = args[0] == "up";
  return SendOne(context, packet::BrightnessStep(brighter), Chosen(context),
                 std::string("BRIGHTNESS_STEP ") + (brighter ? "UP" : "DOWN"));
}

}  // namespace vandrel::phone
