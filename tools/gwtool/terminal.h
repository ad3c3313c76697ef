// The terminal and Ctrl-C; one implementation per system.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_TERMINAL_H
#define ZODARURUVIZI_TOOLS_GWTOOL_TERMINAL_H

#include <cstdio>

namespace gwtool {

bool IsTerminal(std::FILE* stream);

// From CatchInterrupts() until ReleaseInterrupts(), Ctrl-C does not end the
// process but is counted; Interrupts() is the count since CatchInterrupts().
void CatchInterrupts();
void ReleaseInterrupts();
int Interrupts();

}  // namespace gwtool

#endif
