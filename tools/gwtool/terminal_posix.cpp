#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "terminal.h"

namespace gwtool {

namespace {

std::atomic<int> g_interrupts{0};
struct sigaction g_previous;

void OnInterrupt(int) {
    g_interrupts.fetch_add(1);
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

void CatchInterrupts() {
    g_interrupts = 0;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &g_previous);
}

void ReleaseInterrupts() {
    sigaction(SIGINT, &g_previous, nullptr);
}

int Interrupts() {
    return g_interrupts.load();
}

}  // namespace gwtool
