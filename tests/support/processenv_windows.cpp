#include <process.h>
#include <stdlib.h>

#include "tests/support/processenv.h"

namespace zrtest {

unsigned CurrentProcessId() {
    return static_cast<unsigned>(_getpid());
}

// _putenv_s updates both the C library's copy and the process environment; an
// empty value removes the variable.
void SetProcessEnv(const char* name, const char* value) {
    _putenv_s(name, value ? value : "");
}

}  // namespace zrtest
