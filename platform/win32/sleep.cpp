#include "platform/kernel.h"
#include "platform/win32/windows_headers.h"

namespace r9 {

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

}  // namespace r9
