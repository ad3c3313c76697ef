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

std::atomic<int> g_error{0};
std::atomic<int> g_skip{0};
std::atomic<int> g_times{0};
std::atomic<int> g_calls{0};
std::atomic<int> g_faults{0};

// The entries replaced, saved before a replacement is stored.
struct Saved {
    decltype(posix_sys::Sys().open.load()) open;
    decltype(posix_sys::Sys().read.load()) read;
    decltype(posix_sys::Sys().write.load()) write;
    decltype(posix_sys::Sys().ftruncate.load()) ftruncate;
    decltype(posix_sys::Sys().fdatasync.load()) fdatasync;
    decltype(posix_sys::Sys().rename.load()) rename;
    decltype(posix_sys::Sys().poll.load()) poll;
    decltype(posix_sys::Sys().recv.load()) recv;
    decltype(posix_sys::Sys().send.load()) send;
} g_saved;

// True when this call is to fail; errno is then set for a failure.
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

size_t Shortened(size_t len) {
    return std::min<size_t>(len, 1);
}

int Open(const char* path, int flags, unsigned mode) {
    return Fire() && errno ? -1 : g_saved.open(path, flags, mode);
}
long Read(int fd, void* buf, size_t len) {
    if (Fire())
        return errno ? -1 : g_saved.read(fd, buf, Shortened(len));
    return g_saved.read(fd, buf, len);
}
long Write(int fd, const void* buf, size_t len) {
    if (Fire())
        return errno ? -1 : g_saved.write(fd, buf, Shortened(len));
    return g_saved.write(fd, buf, len);
}
int Ftruncate(int fd, int64_t len) {
    return Fire() && errno ? -1 : g_saved.ftruncate(fd, len);
}
int Fdatasync(int fd) {
    return Fire() && errno ? -1 : g_saved.fdatasync(fd);
}
int Rename(const char* from, const char* to) {
    return Fire() && errno ? -1 : g_saved.rename(from, to);
}
int Poll(void* items, unsigned long count, int timeoutMs) {
    return Fire() && errno ? -1 : g_saved.poll(items, count, timeoutMs);
}
long Recv(int fd, void* buf, size_t len, int flags) {
    if (Fire())
        return errno ? -1 : g_saved.recv(fd, buf, Shortened(len), flags);
    return g_saved.recv(fd, buf, len, flags);
}
long Send(int fd, const void* buf, size_t len, int flags) {
    if (Fire())
        return errno ? -1 : g_saved.send(fd, buf, Shortened(len), flags);
    return g_saved.send(fd, buf, len, flags);
}

// Stores (install) or restores (!install) the entry of call.
void Swap(SysCall call, bool install) {
    posix_sys::SysCalls& s = posix_sys::Sys();
    switch (call) {
        case SysCall::kOpen:
            s.open.store(install ? &Open : g_saved.open);
            break;
        case SysCall::kRead:
            s.read.store(install ? &Read : g_saved.read);
            break;
        case SysCall::kWrite:
            s.write.store(install ? &Write : g_saved.write);
            break;
        case SysCall::kFtruncate:
            s.ftruncate.store(install ? &Ftruncate : g_saved.ftruncate);
            break;
        case SysCall::kFdatasync:
            s.fdatasync.store(install ? &Fdatasync : g_saved.fdatasync);
            break;
        case SysCall::kRename:
            s.rename.store(install ? &Rename : g_saved.rename);
            break;
        case SysCall::kPoll:
            s.poll.store(install ? &Poll : g_saved.poll);
            break;
        case SysCall::kRecv:
            s.recv.store(install ? &Recv : g_saved.recv);
            break;
        case SysCall::kSend:
            s.send.store(install ? &Send : g_saved.send);
            break;
    }
}

SysCall g_call;

}  // namespace

SysOverride::SysOverride(const SysFault& fault) {
    posix_sys::SysCalls& s = posix_sys::Sys();
    g_saved = {s.open.load(),      s.read.load(),      s.write.load(),
               s.ftruncate.load(), s.fdatasync.load(), s.rename.load(),
               s.poll.load(),      s.recv.load(),      s.send.load()};
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
