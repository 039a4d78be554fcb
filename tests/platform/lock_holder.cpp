// A stand-in for a running copy of the updater: claims an instance number, prints it and holds
// it until its standard input closes (or it is killed).
#include <unistd.h>

#include <cstdio>

#include "platform/instance_number.h"

int main() {
  r9::InstanceLock lock;
  std::printf("%d\n", r9::ClaimInstanceNumber(lock));
  std::fflush(stdout);
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}
