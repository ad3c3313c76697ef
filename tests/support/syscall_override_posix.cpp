#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/posix_sys.h"
#include "tests/support/syscall_override.h"

namespace zrtest {
namespace {

const int kCrashStatus = 86;

using posix_sys::SysCalls;

std::atomic<int> g_error{0}, g_skip{0}, g_times{0}, g_calls{0}, g_faults{0};

// True when this call is to fail (errno set) or move one byte (errno 0).
bool Fire() {
    const int n = g_calls.fetch_add(1);
    const int times = g_times.load();
    if (n < g_skip.load() || (times >= 0 && n >= g_skip.load() + times))
        return false;
    ++g_faults;
    if (g_error.load() == kCrash)
        _exit(kCrashStatus);
    errno = g_error.load();
    return true;
}

template <class T>
T Shortened(T value) {
    return value;
}
size_t Shortened(size_t len) {
    return std::min<size_t>(len, 1);
}

// Stands in for the entry M of the table; saved is the entry it replaced,
// stored before the replacement is published.
template <auto M, class F = decltype((posix_sys::Sys().*M).load())>
struct Hook;
template <auto M, class R, class... A>
struct Hook<M, R (*)(A...)> {
    static inline R (*saved)(A...) = nullptr;
    static R Call(A... args) {
        if (!Fire())
            return saved(args...);
        return errno ? -1 : saved(Shortened(args)...);
    }
    static void Swap(bool install) {
        auto& entry = posix_sys::Sys().*M;
        if (install)
            saved = entry.load();
        entry.store(install ? &Call : saved);
    }
};

void Swap(SysCall call, bool install) {
    switch (call) {
        case SysCall::kOpen:
            return Hook<&SysCalls::open>::Swap(install);
        case SysCall::kRead:
            return Hook<&SysCalls::read>::Swap(install);
        case SysCall::kWrite:
            return Hook<&SysCalls::write>::Swap(install);
        case SysCall::kFtruncate:
            return Hook<&SysCalls::ftruncate>::Swap(install);
        case SysCall::kFdatasync:
            return Hook<&SysCalls::fdatasync>::Swap(install);
        case SysCall::kRename:
            return Hook<&SysCalls::rename>::Swap(install);
        case SysCall::kPoll:
            return Hook<&SysCalls::poll>::Swap(install);
        case SysCall::kRecv:
            return Hook<&SysCalls::recv>::Swap(install);
        case SysCall::kSend:
            return Hook<&SysCalls::send>::Swap(install);
    }
}

SysCall g_call;

}  // namespace

SysOverride::SysOverride(const SysFault& fault) {
    g_error = fault.error;
    g_skip = fault.skip;
    g_times = fault.times;
    g_calls = 0;
    g_faults = 0;
    g_call = fault.call;
    Swap(fault.call, true);
}

SysOverride::~SysOverride() {
    Swap(g_call, false);
}

int InChild(int (*body)(void*), void* context) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body(context));
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

int SysOverride::Faults() const {
    return g_faults.load();
}

bool SysOverride::Available() {
    return true;
}

}  // namespace zrtest
