#include "infra/linux/SwayIpc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace vandrel::platform {
namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::uint32_t kGetTree = 4;
constexpr std::size_t kHeaderSize = sizeof kMagic + 2 * sizeof(std::uint32_t);
// A tree of many windows is a few hundred KiB; anything far larger is not sway.
constexpr std::uint32_t kMaxReply = 16u << 20;
constexpr std::chrono::milliseconds kTimeout{500};
// Nodes nest a handful deep; a bound keeps a hostile reply off the stack.
constexpr int kMaxDepth = 64;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Moves `size` bytes in the direction of `out`, within the deadline.
bool Transfer(int fd, char* data, std::size_t size, bool out, std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, static_cast<short>(out ? POLLOUT : POLLIN), 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t n = out ? ::send(fd, data, size, MSG_NOSIGNAL) : ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<SwayFocus> Focused(const nlohmann::json& node, int depth) {
  if (!node.is_object() || depth > kMaxDepth) return std::nullopt;
  const auto focused = node.find("focused");
  const auto type = node.find("type");
  const bool isWindow = type != node.end() && type->is_string() &&
                        (*type == "con" || *type == "floating_con");
  if (focused != node.end() && focused->is_boolean() && focused->get<bool>() && isWindow) {
    SwayFocus focus;
    if (const auto name = node.find("name"); name != node.end() && name->is_string()) focus.title = *name;
    if (const auto app = node.find("app_id"); app != node.end() && app->is_string()) {
      focus.appId = *app;
    } else if (const auto props = node.find("window_properties"); props != node.end() && props->is_object()) {
      if (const auto cls = props->find("class"); cls != props->end() && cls->is_string()) focus.appId = *cls;
    }
    if (const auto pid = node.find("pid"); pid != node.end() && pid->is_number_integer()) {
      focus.pid = static_cast<pid_t>(pid->get<std::int64_t>());
    }
    return focus;
  }
  for (const char* children : {"nodes", "floating_nodes"}) {
    const auto list = node.find(children);
    if (list == node.end() || !list->is_array()) continue;
    for (const auto& child : *list) {
      if (auto found = Focused(child, depth + 1)) return found;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<SwayFocus> FocusedInTree(std::string_view json) {
  const auto tree = nlohmann::json::parse(json, nullptr, false);
  if (tree.is_discarded()) return std::nullopt;
  return Focused(tree, 0);
}

bool HaveSwaySocket() {
  const char* socket = std::getenv("SWAYSOCK");
  return socket && *socket;
}

std::optional<SwayFocus> SwayFocusedWindow(const char* socket) {
  if (!socket) socket = std::getenv("SWAYSOCK");
  if (!socket || !*socket) return std::nullopt;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(socket) >= sizeof address.sun_path) return std::nullopt;
  std::strcpy(address.sun_path, socket);
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  char header[kHeaderSize];
  std::memcpy(header, kMagic, sizeof kMagic);
  const std::uint32_t request[2] = {0, kGetTree};  // sway's byte order is the host's
  std::memcpy(header + sizeof kMagic, request, sizeof request);
  if (!Transfer(fd.get(), header, sizeof header, true, deadline)) return std::nullopt;
  if (!Transfer(fd.get(), header, sizeof header, false, deadline)) return std::nullopt;
  std::uint32_t reply[2];
  std::memcpy(reply, header + sizeof kMagic, sizeof reply);
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || reply[1] != kGetTree || reply[0] > kMaxReply) {
    return std::nullopt;
  }
  std::string body(reply[0], '\0');
  if (!Transfer(fd.get(), body.data(), body.size(), false, deadline)) return std::nullopt;
  return FocusedInTree(body);
}

}  // namespace vandrel::platform
