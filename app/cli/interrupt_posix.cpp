#include <unistd.h>

#include <atomic>
#include <csignal>

#include "app/cli/interrupt.h"

namespace r9 {
namespace {

std::atomic<int> interruptSignal{0};

void OnSignal(int signo) { interruptSignal.store(signo); }

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int InterruptSignal() { return interruptSignal.load(); }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO); }

}  // namespace r9
