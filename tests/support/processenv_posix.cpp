#include <signal.h>
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

bool OnWindows() {
    return false;
}

bool UnderWine() {
    return false;
}

void DieOnBrokenPipe() {
    signal(SIGPIPE, SIG_DFL);
}

}  // namespace zrtest
