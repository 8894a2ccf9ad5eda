#include <signal.h>
#include <sys/signalfd.h>

#include "platform/stop_signals.h"

namespace vistrel {
namespace {

sigset_t StopSignalSet() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t signals = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

UniqueFd StopSignalFd() {
  const sigset_t signals = StopSignalSet();
  return UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC));
}

}  // namespace vistrel
