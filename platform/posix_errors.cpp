// Translation of POSIX results to Windows error codes (see posix_errors.h).
#include "platform/posix_errors.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/posix_sys.h"

namespace {

constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kErrorDirNotEmpty = 145;
constexpr DWORD kErrorFilenameExcedRange = 206;
constexpr DWORD kErrorFileTooLarge = 223;

}  // namespace

namespace posix_errors {

std::string ToPosixPath(const char* path) {
    std::string p = path ? path : "";
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

DWORD WindowsError(int errnum, const std::string& path) {
    switch (errnum) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT: {
            size_t slash = path.find_last_of('/');
            if (slash == std::string::npos)
                return ERROR_FILE_NOT_FOUND;
            std::string dir = slash == 0 ? "/" : path.substr(0, slash);
            posix_sys::FileInfo info;
            return posix_sys::StatPath(dir.c_str(), &info) == 0 && info.isDir
                       ? ERROR_FILE_NOT_FOUND
                       : ERROR_PATH_NOT_FOUND;
        }
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case ENAMETOOLONG:
            return kErrorFilenameExcedRange;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EFBIG:
            return kErrorFileTooLarge;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EAGAIN:
            return ERROR_LOCK_VIOLATION;
        case ENOTEMPTY:
            return kErrorDirNotEmpty;
        case EXDEV:
            return kErrorNotSameDevice;
        default:
            return kErrorGenFailure;
    }
}

int WsaError(int errnum) {
    switch (errnum) {
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
        case EINPROGRESS:
            return WSAEWOULDBLOCK;
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case ENOPROTOOPT:
            return kWsaENoProtoOpt;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return WSAEHOSTUNREACH;
        default:
            return WSAEINVAL;
    }
}

int FailWsa(int code) {
    SetLastError(static_cast<DWORD>(code));
    return SOCKET_ERROR;
}

BOOL FailKernel(DWORD code) {
    SetLastError(code);
    return FALSE;
}

}  // namespace posix_errors
