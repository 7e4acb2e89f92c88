// The named mutex "Vandrel_SingleInstance_Mutex", held until the process ends.
#include "app/SingleInstance.h"

#include <windows.h>

namespace vandrel {
namespace {

class NamedMutex final : public SingleInstance {
 public:
  explicit NamedMutex(HANDLE handle) : handle_(handle) {}
  ~NamedMutex() override { Release(); }
  void Release() override {
    if (handle_) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<SingleInstance> AcquireSingleInstance() {
  HANDLE handle = ::CreateMutexW(nullptr, TRUE, L"Vandrel_SingleInstance_Mutex");
  if (!handle) return nullptr;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<NamedMutex>(handle);
}

}  // namespace vandrel
