// Faults at an exact system call of the Linux platform layer, injected
// in-process through its table of raw calls. Where the layer is the system's
// own (Windows) nothing can be injected: Available() is false.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_SYSCALL_OVERRIDE_H
#define ZODARURUVIZI_TESTS_SUPPORT_SYSCALL_OVERRIDE_H

namespace zrtest {

enum class SysCall { kOpen, kRead, kWrite, kFtruncate, kFdatasync, kRename, kPoll, kRecv, kSend };

// As a fault's error: the call ends the process at once, as a crash would.
constexpr int kCrash = -1;

struct SysFault {
    SysCall call;
    int error;      // the errno the call fails with; 0: it moves one byte at most; or kCrash
    int skip = 0;   // calls let through before the first fault
    int times = 1;  // faulty calls, then the call works again; -1: no end
};

// Makes fault.call fail as described while it lives; one at a time. Create it
// before the threads that make the call start, or while they are idle.
class SysOverride {
public:
    explicit SysOverride(const SysFault& fault);
    ~SysOverride();
    SysOverride(const SysOverride&) = delete;
    SysOverride& operator=(const SysOverride&) = delete;

    int Faults() const;  // faulty calls made so far
    static bool Available();
};

// Runs body in a child process (fork, where Available()); its exit status, or
// -1 when it ended otherwise. The calling process must have no other threads.
int InChild(int (*body)(void*), void* context);

}  // namespace zrtest

#endif
