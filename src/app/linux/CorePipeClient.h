// The program's end of the link to the lock-screen companion on Linux.
#pragma once

#include <string>

#include "app/CoreLink.h"

namespace vandrel {

/// $XDG_RUNTIME_DIR/NAME (else /tmp/NAME-UID).
std::string CorePipePath(const std::string& name);

class CorePipeClient final : public CorePipe {
 public:
  explicit CorePipeClient(std::string path);
  ~CorePipeClient() override;

  bool TryConnect(PipeConnectFailure& failure) override;
  /// Waits up to 2 s for room in the companion's queue.
  bool Send(const std::uint8_t* bytes, std::size_t length) override;
  void Disconnect() override;

 private:
  void Close();

  std::string path_;
  int fd_ = -1;
};

}  // namespace vandrel
