// The rest of the kernel subset of winapi.h on Linux: the last error, time,
// ids, the execution state and the environment.
#include "platform/winapi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <chrono>
#include <thread>

#include "platform/posix_errors.h"
#include "platform/posix_sys.h"

using posix_errors::FailKernel;

namespace {

thread_local DWORD t_lastError = 0;

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE esFlags) {
    thread_local EXECUTION_STATE state = ES_CONTINUOUS;
    EXECUTION_STATE previous = state;
    if (esFlags & ES_CONTINUOUS)
        state = esFlags;
    return previous;
}

void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    } while (dwMilliseconds == 0xFFFFFFFF);
}

DWORD GetTickCount() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<DWORD>(ms.count());
}

DWORD GetCurrentProcessId() {
    return posix_sys::ProcessId();
}

DWORD GetCurrentThreadId() {
    return posix_sys::ThreadId();
}

void GetLocalTime(SYSTEMTIME* lpSystemTime) {
    if (!lpSystemTime)
        return;
    posix_sys::LocalTime t;
    posix_sys::GetLocalTime(&t);
    lpSystemTime->wYear = static_cast<WORD>(t.year);
    lpSystemTime->wMonth = static_cast<WORD>(t.month);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(t.dayOfWeek);
    lpSystemTime->wDay = static_cast<WORD>(t.day);
    lpSystemTime->wHour = static_cast<WORD>(t.hour);
    lpSystemTime->wMinute = static_cast<WORD>(t.minute);
    lpSystemTime->wSecond = static_cast<WORD>(t.second);
    lpSystemTime->wMilliseconds = static_cast<WORD>(t.millisecond);
}

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    const char* value = lpName ? std::getenv(lpName) : nullptr;
    if (!value) {
        FailKernel(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    size_t len = std::strlen(value);
    if (!lpBuffer || nSize <= len)
        return static_cast<DWORD>(len + 1);
    std::memcpy(lpBuffer, value, len + 1);
    if (len == 0)
        t_lastError = ERROR_SUCCESS;
    return static_cast<DWORD>(len);
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    const char* env = std::getenv("TMPDIR");
    std::string dir = env && *env ? env : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    if (!lpBuffer || nBufferLength <= dir.size())
        return static_cast<DWORD>(dir.size() + 1);
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}
