// Whether a standard stream is a terminal; one implementation per system.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_TERMINAL_H
#define ZODARURUVIZI_TOOLS_GWTOOL_TERMINAL_H

#include <cstdio>

namespace gwtool {

bool IsTerminal(std::FILE* stream);

}  // namespace gwtool

#endif
