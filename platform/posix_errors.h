// Translation of POSIX results to the Windows error codes of the platform layer.
// Internal to platform/; implemented in posix_errors.cpp.
#ifndef ZODARURUVIZI_PLATFORM_POSIX_ERRORS_H
#define ZODARURUVIZI_PLATFORM_POSIX_ERRORS_H

#include <string>

#include "platform/winapi.h"

namespace posix_errors {

// The path with every backslash replaced by '/'; "" for null.
std::string ToPosixPath(const char* path);

// The Windows error (ERROR_*) for an errno value. ENOENT becomes
// ERROR_FILE_NOT_FOUND when the directory part of path exists and
// ERROR_PATH_NOT_FOUND otherwise.
DWORD WindowsError(int errnum, const std::string& path = std::string());

// The Winsock error (WSAE*) for an errno value.
int WsaError(int errnum);

constexpr int kWsaENoProtoOpt = 10042;

// Set the last error to code and return the call's failure result.
int FailWsa(int code);        // SOCKET_ERROR
BOOL FailKernel(DWORD code);  // FALSE

}  // namespace posix_errors

#endif
