#include <stdlib.h>
#include <unistd.h>

#include "tests/support/processenv.h"

namespace zrtest {

unsigned CurrentProcessId() {
    return static_cast<unsigned>(getpid());
}

void SetProcessEnv(const char* name, const char* value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

}  // namespace zrtest
