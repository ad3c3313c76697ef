#include <io.h>

#include "terminal.h"

namespace gwtool {

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

}  // namespace gwtool
