#include "app/TerminationSignal.h"

#include <pthread.h>
#include <signal.h>

namespace vandrel {
namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void PrepareTerminationSignals() {
  // Threads inherit the mask, so the signals reach only the waiting main thread.
  const sigset_t set = TerminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A phone that vanishes mid-send must cost an error code, not the process.
  signal(SIGPIPE, SIG_IGN);
}

const char* WaitForTermination() {
  const sigset_t set = TerminationSet();
  int received = 0;
  while (sigwait(&set, &received) != 0) {
  }
  return received == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace vandrel
