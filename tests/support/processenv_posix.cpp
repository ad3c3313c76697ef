#include <stdlib.h>
#include <sys/stat.h>
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

bool MakeFifo(const char* path) {
    return mkfifo(path, 0666) == 0;
}

bool UnderWine() {
    return false;
}

}  // namespace zrtest
