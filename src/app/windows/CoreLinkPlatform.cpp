// The Windows calls behind the lock-screen link: the companion's named pipe,
// the input desktop's name and starting the companion. When to retry, what to
// report and where input goes is decided in CoreLink.
#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/CoreLink.h"
#include "infra/Logger.h"
#include "infra/TextEncoding.h"

namespace vandrel {
namespace {

constexpr DWORD kSendTimeoutMs = 2000;

PipeConnectFailure::Kind KindOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED: return PipeConnectFailure::Kind::AccessDenied;
    case ERROR_FILE_NOT_FOUND: return PipeConnectFailure::Kind::NotFound;
    case ERROR_PIPE_BUSY: return PipeConnectFailure::Kind::Busy;
    default: return PipeConnectFailure::Kind::Other;
  }
}

/// Not thread-safe: CoreLink uses it under its pipe lock.
class CorePipeClient : public CorePipe {
 public:
  explicit CorePipeClient(const std::string& name) : path_(L"\\\\.\\Pipe\\" + Utf8ToWide(name)) {}
  // Quiet when nothing is open, so that a link already disconnected is not reported twice.
  ~CorePipeClient() override {
    if (handle_ != INVALID_HANDLE_VALUE) Disconnect();
  }
  CorePipeClient(const CorePipeClient&) = delete;
  CorePipeClient& operator=(const CorePipeClient&) = delete;

  bool TryConnect(PipeConnectFailure& failure) override {
    Close();
    const HANDLE handle = ::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      failure.code = ::GetLastError();
      failure.kind = KindOf(failure.code);
      return false;
    }
    // One command a message: the companion reads whole messages, never a byte stream.
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(handle, &mode, nullptr, nullptr)) {
      const DWORD error = ::GetLastError();
      Log() << "[IPC] Failed to set pipe read mode: " << error;
      ::CloseHandle(handle);
      failure.code = error;
      failure.kind = PipeConnectFailure::Kind::Other;
      return false;
    }
    handle_ = handle;
    Log() << "[IPC] Connected to pipe: " << WideToUtf8(path_);
    return true;
  }

  bool Send(const std::uint8_t* bytes, std::size_t length) override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    if (length > MAXDWORD) {
      Log() << "[IPC] Send: FAILED error=" << static_cast<DWORD>(ERROR_INVALID_PARAMETER);
      return false;
    }
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
      Log() << "[IPC] Send: FAILED to create event";
      return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD written = 0;
    if (!::WriteFile(handle_, bytes, static_cast<DWORD>(length), nullptr, &overlapped)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_IO_PENDING) {
        ::CloseHandle(event);
        Log() << "[IPC] Send: FAILED error=" << error;
        return false;
      }
      const DWORD waited = ::WaitForSingleObject(event, kSendTimeoutMs);
      if (waited != WAIT_OBJECT_0) {
        const DWORD waitError = ::GetLastError();
        // The write refers to `overlapped` on this stack until it has settled.
        ::CancelIo(handle_);
        ::GetOverlappedResult(handle_, &overlapped, &written, TRUE);
        ::CloseHandle(event);
        if (waited == WAIT_TIMEOUT) {
          Log() << "[IPC] Send: TIMEOUT (server not reading), size=" << length;
        } else {
          Log() << "[IPC] Send: FAILED error=" << waitError;
        }
        return false;
      }
    }
    // Asked for completed writes too: an overlapped WriteFile's own count is not reliable.
    if (!::GetOverlappedResult(handle_, &overlapped, &written, FALSE)) {
      const DWORD error = ::GetLastError();
      ::CloseHandle(event);
      Log() << "[IPC] Send: FAILED GetOverlappedResult error=" << error;
      return false;
    }
    ::CloseHandle(event);
    LogSendOk(written, length);
    return true;
  }

  void Disconnect() override {
    Close();
    Log() << "[IPC] Disconnected from pipe";
  }

 private:
  void Close() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  const std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

bool SecureDesktopActive() {
  const HDESK desktop = ::OpenInputDesktop(0, FALSE, READ_CONTROL);
  // The secure desktop refuses a user session's programs; any other failure says nothing.
  if (!desktop) return ::GetLastError() == ERROR_ACCESS_DENIED;
  wchar_t name[256] = {};
  DWORD needed = 0;
  const bool named = ::GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof name - sizeof name[0], &needed) != FALSE;
  ::CloseDesktop(desktop);
  if (!named) return false;
  const std::wstring_view text(name);
  return text.find(L"Winlogon") != std::wstring_view::npos || text.find(L"LogonUI") != std::wstring_view::npos;
}

std::wstring ExecutableFolder() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    // A full buffer means the name was cut; long paths go up to 32767 units.
    if (length < buffer.size() || buffer.size() >= 32768) {
      const std::wstring path(buffer.data(), length);
      const auto slash = path.find_last_of(L"\\/");
      return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::uint32_t> StartCompanion() {
  const std::wstring program = ExecutableFolder() + L"\\VandrelService.exe";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
    return static_cast<std::uint32_t>(::GetLastError());
  }
  // The companion lives on its own; nothing here waits for it.
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return std::nullopt;
}

}  // namespace

CoreLink::Platform PlatformCoreLink() {
  CoreLink::Platform platform;
  platform.makePipe = [](const std::string& name) -> std::unique_ptr<CorePipe> {
    return std::make_unique<CorePipeClient>(name);
  };
  platform.secureDesktopActive = SecureDesktopActive;
  platform.startCompanion = StartCompanion;
  return platform;
}

}  // namespace vandrel
