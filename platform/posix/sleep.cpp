#include <chrono>
#include <thread>

#include "platform/kernel.h"

namespace r9 {

void Sleep(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace r9
