// A flock on a file in the user's runtime folder; the kernel drops it when the
// process ends, however it ends.
#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "infra/Platform.h"

namespace vandrel {
namespace {

class FileLock final : public SingleInstance {
 public:
  explicit FileLock(int fd) : fd_(fd) {}
  ~FileLock() override { Release(); }
  void Release() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<SingleInstance> AcquireSingleInstance() {
  const std::string folder = platform::Environment("XDG_RUNTIME_DIR").value_or("/tmp");
  const std::string path = folder + "/Vandrel_SingleInstance_Mutex";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<FileLock>(fd);
}

}  // namespace vandrel
