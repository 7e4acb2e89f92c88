// tests/fakes/update_http_server.py as a child process on a free loopback port,
// serving files from a folder of the test's own, over HTTP or HTTPS.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "TempDir.h"

extern char** environ;

namespace vandrel::testing {

class UpdateHttpServer {
 public:
  enum class Scheme { kHttp, kHttps };

  explicit UpdateHttpServer(Scheme scheme = Scheme::kHttp) : scheme_(scheme) {
    std::vector<std::string> args = {"python3", Script(), "--root", root_.path().string()};
    if (scheme == Scheme::kHttps) {
      args.push_back("--tls");
      args.push_back(tls_.path().string());
    }
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> raw;
    for (auto& arg : args) raw.push_back(arg.data());
    raw.push_back(nullptr);
    const int spawned = ::posix_spawnp(&pid_, "python3", &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
      ::close(out[0]);
      throw std::runtime_error("cannot start python3");
    }
    port_ = ReadPort(out[0]);
    ::close(out[0]);
    if (port_ == 0) {
      Stop();
      throw std::runtime_error("update_http_server.py did not start");
    }
  }
  ~UpdateHttpServer() { Stop(); }
  UpdateHttpServer(const UpdateHttpServer&) = delete;
  UpdateHttpServer& operator=(const UpdateHttpServer&) = delete;

  /// e.g. Url("/files/setup.bin").
  std::string Url(const std::string& path) const {
    return std::string(scheme_ == Scheme::kHttps ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  /// A file under /files/, /chunked/, /close/, /short/ and /redirect/.
  void Serve(const std::string& name, const std::string& content) const { WriteBinary(root_.path() / name, content); }
  /// The throw-away CA that signed an HTTPS server's certificate.
  std::string CaFile() const { return (tls_.path() / "ca.pem").string(); }

 private:
  static std::string Script() {
    return (std::filesystem::path(__FILE__).parent_path() / "../../fakes/update_http_server.py").lexically_normal().string();
  }

  // Generous: making the certificates on a loaded machine takes a while.
  static int ReadPort(int fd) {
    std::string line;
    for (;;) {
      pollfd readable{fd, POLLIN, 0};
      if (::poll(&readable, 1, 60000) <= 0) return 0;
      char c;
      if (::read(fd, &c, 1) != 1) return 0;
      if (c == '\n') break;
      line += c;
    }
    try {
      return std::stoi(line);
    } catch (const std::exception&) {
      return 0;
    }
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  Scheme scheme_;
  TempDir root_;
  TempDir tls_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace vandrel::testing
