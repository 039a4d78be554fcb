// What the console front-end needs from the operating system: the user's interrupt (Ctrl-C,
// or the request to end the process), and whether the output is a terminal.
#pragma once

namespace r9 {

// From now on an interrupt no longer ends the process; InterruptSignal reports it instead.
void InstallInterruptHandlers();
// 0 while no interrupt came; else the signal number it stands for (2 for Ctrl-C, 15 for a
// request to end), so the exit code is 128 plus it on every system.
int InterruptSignal();

bool StdoutIsTerminal();

}  // namespace r9
