// The focused window from sway's IPC: the reply's tree, and the exchange with
// a stand-in sway on a socket of its own.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "infra/linux/SwayIpc.h"

namespace vandrel::platform {
namespace {

TEST(SwayIpc, FindsTheFocusedWindowWhereverItNests) {
  const auto wayland = FocusedInTree(R"({"type":"root","nodes":[{"type":"output","nodes":[
      {"type":"workspace","focused":false,"nodes":[{"type":"con","name":"other","app_id":"foot","pid":7}],
       "floating_nodes":[{"type":"floating_con","focused":true,"name":"YouTube - test","app_id":"firefox","pid":42}]}]}]})");
  ASSERT_TRUE(wayland);
  EXPECT_EQ(wayland->title, "YouTube - test");
  EXPECT_EQ(wayland->appId, "firefox");
  EXPECT_EQ(wayland->pid, 42);

  const auto xwayland = FocusedInTree(R"({"type":"root","nodes":[{"type":"con","focused":true,"name":null,
      "app_id":null,"window_properties":{"class":"vlc"}}]})");
  ASSERT_TRUE(xwayland);
  EXPECT_EQ(xwayland->title, "");
  EXPECT_EQ(xwayland->appId, "vlc");
  EXPECT_EQ(xwayland->pid, 0);
}

TEST(SwayIpc, NoWindowForAnEmptyWorkspaceOrABadReply) {
  EXPECT_FALSE(FocusedInTree(R"({"type":"root","nodes":[{"type":"workspace","focused":true,"name":"1"}]})"));
  EXPECT_FALSE(FocusedInTree("not json"));
  EXPECT_FALSE(FocusedInTree(R"({"nodes":"x","floating_nodes":[1,2,null]})"));
  // Nesting far deeper than any real tree is cut off, not followed down the stack.
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += R"({"type":"con","nodes":[)";
  EXPECT_FALSE(FocusedInTree(deep));
}

// Answers one GET_TREE with `reply` after the header that says `length`.
class StandInSway {
 public:
  StandInSway(std::string reply, std::uint32_t length) {
    path_ = (std::filesystem::temp_directory_path() / ("vandrel-sway-" + std::to_string(::getpid()))).string();
    ::unlink(path_.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 1), 0);
    thread_ = std::thread([this, reply = std::move(reply), length] {
      const int peer = ::accept(listener_, nullptr, nullptr);
      char request[14];
      if (peer < 0 || ::recv(peer, request, sizeof request, MSG_WAITALL) != sizeof request) return;
      request_.assign(request, sizeof request);
      char header[14] = {'i', '3', '-', 'i', 'p', 'c'};
      const std::uint32_t fields[2] = {length, 4};
      std::memcpy(header + 6, fields, sizeof fields);
      (void)!::send(peer, header, sizeof header, MSG_NOSIGNAL);
      (void)!::send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
      // Keep the connection open, as a sway that stalls would.
      char rest;
      (void)!::recv(peer, &rest, 1, 0);
      ::close(peer);
    });
  }
  ~StandInSway() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  // What the client sent, once it has let go of the connection.
  std::string Request() {
    thread_.join();
    return request_;
  }

 private:
  std::string path_;
  int listener_ = -1;
  std::thread thread_;
  std::string request_;
};

TEST(SwayIpc, AsksForTheTreeAndReadsTheReply) {
  const std::string tree = R"({"type":"con","focused":true,"name":"Douyin","app_id":"mpv","pid":3})";
  std::optional<SwayFocus> focus;
  std::string request;
  {
    StandInSway sway(tree, static_cast<std::uint32_t>(tree.size()));
    focus = SwayFocusedWindow(sway.path().c_str());
    request = sway.Request();
  }
  ASSERT_TRUE(focus);
  EXPECT_EQ(focus->title, "Douyin");
  const std::uint32_t fields[2] = {0, 4};
  EXPECT_EQ(request, std::string("i3-ipc") + std::string(reinterpret_cast<const char*>(fields), sizeof fields));
}

TEST(SwayIpc, GivesUpOnAShortOrHugeReplyAndWithoutSway) {
  const std::string tree = R"({"type":"con","focused":true,"name":"x"})";
  {
    // Promises more than it sends, then stalls: the bound ends the wait.
    StandInSway sway(tree, static_cast<std::uint32_t>(tree.size() + 10));
    EXPECT_FALSE(SwayFocusedWindow(sway.path().c_str()));
  }
  {
    StandInSway sway(tree, 1u << 30);
    EXPECT_FALSE(SwayFocusedWindow(sway.path().c_str()));
  }
  EXPECT_FALSE(SwayFocusedWindow("/nonexistent/sway-ipc.sock"));
}

}  // namespace
}  // namespace vandrel::platform
