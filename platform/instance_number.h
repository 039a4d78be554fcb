// Instance numbering: each running copy of the updater holds the lock of one number from 1 to
// 20, and shows that number in its title and port names.
#pragma once

#include <string>

#include "platform/kernel.h"

namespace r9 {

constexpr int kMaxInstances = 20;

// "KORVEN R9 System v1.10 Updater" for 1, "KORVEN R9 System v1.10 Updater (n)" for 2 to 20.
std::string InstanceLockName(int number);

// Claims the lowest free number of 1 to kMaxInstances with lock and returns it; 0 when all
// are taken (lock then holds nothing).
int ClaimInstanceNumber(InstanceLock& lock);

}  // namespace r9
