// A copy of the program as far as its instance number goes: claims the lowest free number,
// prints it (0: all twenty taken) and holds it until its standard input ends.
#include <cstdio>

#include "platform/instance_number.h"

int main() {
  r9::InstanceLock lock;
  const int number = r9::ClaimInstanceNumber(lock);
  std::printf("%d\n", number);
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  return number == 0 ? 7 : 0;
}
