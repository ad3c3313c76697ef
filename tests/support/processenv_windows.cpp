#include <process.h>
#include <stdlib.h>
#include <windows.h>

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

bool MakeFifo(const char* /*path*/) {
    return false;
}

bool OnWindows() {
    return true;
}

void DieOnBrokenPipe() {}

// Wine's ntdll exports wine_get_version; Windows' does not.
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace zrtest
