// The system headers, as this project includes them. Include them after the project's own
// headers: they define INFINITE, WAIT_OBJECT_0, MMSYSERR_*, MIM_*, MHDR_*, CALLBACK_* and
// TIME_PERIODIC as macros (with the same values as the project's constants), and LoadString
// as a macro, which is undone here.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: mmsystem.h uses its types.
#include <mmsystem.h>
// The common controls: the progress bar's messages, InitCommonControlsEx.
#include <commctrl.h>

#undef LoadString
