#include "app/TerminationSignal.h"

#include <windows.h>

namespace vandrel {
namespace {

HANDLE g_requested = nullptr;
const char* g_name = "CTRL_C";

BOOL WINAPI OnConsoleEvent(DWORD type) {
  g_name = type == CTRL_C_EVENT ? "CTRL_C" : type == CTRL_BREAK_EVENT ? "CTRL_BREAK" : "CTRL_CLOSE";
  ::SetEvent(g_requested);
  // Windows ends the process when this handler returns for a close event;
  // give the exit path time to save and close first.
  if (type == CTRL_CLOSE_EVENT) ::Sleep(5000);
  return TRUE;
}

}  // namespace

void PrepareTerminationSignals() {
  g_requested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

const char* WaitForTermination() {
  ::WaitForSingleObject(g_requested, INFINITE);
  return g_name;
}

}  // namespace vandrel
