// The process id, environment variables and system facts for tests that do not link the
// library (the tools' tests and their support). The system-specific parts are
// in processenv_posix.cpp and processenv_windows.cpp; CMake builds one of them.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_PROCESSENV_H
#define ZODARURUVIZI_TESTS_SUPPORT_PROCESSENV_H

namespace zrtest {

unsigned CurrentProcessId();

// Sets a variable of the process environment, as the C library's getenv sees
// it; a null value removes it.
void SetProcessEnv(const char* name, const char* value);

// Creates a named pipe (FIFO) at path; false where the system has none.
bool MakeFifo(const char* path);

// True on Windows, and under Wine: the system's own Windows API is tested.
bool OnWindows();
// True when the tests run under Wine rather than Windows or Linux.
bool UnderWine();

// A broken pipe raising SIGPIPE ends the process, as by default (POSIX only).
void DieOnBrokenPipe();

}  // namespace zrtest

#endif  // ZODARURUVIZI_TESTS_SUPPORT_PROCESSENV_H
