#include <unistd.h>

#include "terminal.h"

namespace gwtool {

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

}  // namespace gwtool
