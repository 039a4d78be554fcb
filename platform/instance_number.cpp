#include "platform/instance_number.h"

#include <cstdio>

namespace r9 {

std::string InstanceLockName(int number) {
  if (number == 1) return "KORVEN R9 System v1.10 Updater";
  char name[64];
  std::snprintf(name, sizeof name, "KORVEN R9 System v1.10 Updater (%d)", number);
  return name;
}

int ClaimInstanceNumber(InstanceLock& lock) {
  for (int number = 1; number <= kMaxInstances; ++number) {
    if (lock.TryClaim(InstanceLockName(number))) return number;
  }
  return 0;
}

}  // namespace r9
