#include <io.h>
#include <windows.h>

#include <atomic>

#include "terminal.h"

namespace gwtool {

namespace {

std::atomic<int> g_interrupts{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    g_interrupts.fetch_add(1);
    return TRUE;
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

void CatchInterrupts() {
    g_interrupts = 0;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void ReleaseInterrupts() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

int Interrupts() {
    return g_interrupts.load();
}

}  // namespace gwtool
