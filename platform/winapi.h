// The Windows interfaces the module is written against.
//
// On Windows this is the real Winsock 2 and kernel API. Elsewhere the module
// provides the subset it uses, behaving as Windows does wherever the library
// depends on it:
//   - socket calls fail with WSANOTINITIALISED until WSAStartup has been called;
//     WSAStartup/WSACleanup are reference-counted;
//   - SOCKET values are small handles of this layer (not descriptors), unsigned,
//     with INVALID_SOCKET all ones;
//   - a refused or unanswered non-blocking connection is reported only in the
//     except set of select, never in the write set;
//   - an event selected for FD_READ is signalled while data is waiting; a peer
//     closing the connection does not signal it (Windows records FD_CLOSE only);
//   - recv with nothing waiting fails with WSAEWOULDBLOCK; a send to a closed
//     peer fails with an error, never a signal;
//   - SO_RCVBUF reads back the value that was set;
//   - file names may use backslashes; they are mapped to '/' when a file is
//     opened, found, copied, renamed or removed.
//
// Do not include the C library's socket headers in the same translation unit:
// the names below are the Winsock ones. select takes a const TIMEVAL*, a type of
// its own, so that it never resolves to the C library's select.
#ifndef ZODARURUVIZI_PLATFORM_WINAPI_H
#define ZODARURUVIZI_PLATFORM_WINAPI_H

#include "platform/export.h"

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#else  // !_WIN32

#include <stddef.h>
#include <stdint.h>
#include <sys/select.h>  // fd_set, FD_ZERO, FD_SET, FD_ISSET, FD_CLR
#include <sys/types.h>   // u_short, u_long

// Basic types, sized as on Windows.
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t DWORD_PTR;
typedef char CHAR;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef const char* LPCTSTR;
typedef char* LPSTR;
typedef char* LPTSTR;
typedef void* HANDLE;
struct HICON__;
typedef HICON__* HICON;
typedef DWORD EXECUTION_STATE;
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260
#define MAKEWORD(a, b) ((WORD)(((BYTE)((a)&0xff)) | ((WORD)((BYTE)((b)&0xff))) << 8))
#define LOBYTE(w) ((BYTE)((w)&0xff))
#define HIBYTE(w) ((BYTE)(((w) >> 8) & 0xff))

// ---- Windows Sockets 2 ----------------------------------------------------
typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
typedef WSADATA* LPWSADATA;

// Winsock's own struct timeval shape; a distinct type from the C library's.
struct TIMEVAL {
    long tv_sec;
    long tv_usec;
};

struct in_addr {
    uint32_t s_addr;  // network byte order
};
struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    short sin_family;
    u_short sin_port;  // network byte order
    struct in_addr sin_addr;
    char sin_zero[8];
};
typedef struct sockaddr SOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;

#define AF_INET 2
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define SOL_SOCKET 0xffff
#define SO_RCVBUF 0x1002
#define SO_SNDBUF 0x1001
#define SO_ERROR 0x1007
#define SO_REUSEADDR 0x0004
#define FIONBIO ((long)0x8004667EL)
#define FIONREAD ((long)0x4004667FL)
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#define INADDR_ANY ((uint32_t)0x00000000)
#define INADDR_NONE 0xffffffff

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEPROTONOSUPPORT 10043
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093

typedef HANDLE WSAEVENT;
#define WSA_INVALID_EVENT ((WSAEVENT)0)
#define WSA_WAIT_EVENT_0 ((DWORD)0)
#define WSA_WAIT_TIMEOUT ((DWORD)258)
#define WSA_WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define WSA_INFINITE ((DWORD)0xFFFFFFFF)
#define WSA_MAXIMUM_WAIT_EVENTS 64
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20

ZODARURUVIZI_API int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData);
ZODARURUVIZI_API int WSACleanup();
ZODARURUVIZI_API int WSAGetLastError();
ZODARURUVIZI_API void WSASetLastError(int iError);

ZODARURUVIZI_API SOCKET socket(int af, int type, int protocol);
ZODARURUVIZI_API int ioctlsocket(SOCKET s, long cmd, u_long* argp);
ZODARURUVIZI_API int connect(SOCKET s, const struct sockaddr* name, int namelen);
ZODARURUVIZI_API int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                            const TIMEVAL* timeout);
ZODARURUVIZI_API int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
ZODARURUVIZI_API int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
ZODARURUVIZI_API int send(SOCKET s, const char* buf, int len, int flags);
ZODARURUVIZI_API int recv(SOCKET s, char* buf, int len, int flags);
ZODARURUVIZI_API int shutdown(SOCKET s, int how);
ZODARURUVIZI_API int closesocket(SOCKET s);
ZODARURUVIZI_API u_short htons(u_short hostshort);
ZODARURUVIZI_API u_short ntohs(u_short netshort);
ZODARURUVIZI_API uint32_t htonl(uint32_t hostlong);
ZODARURUVIZI_API uint32_t ntohl(uint32_t netlong);
// Dotted IPv4 text to an address in network byte order; INADDR_NONE when invalid.
ZODARURUVIZI_API unsigned long inet_addr(const char* cp);

ZODARURUVIZI_API WSAEVENT WSACreateEvent();
ZODARURUVIZI_API BOOL WSACloseEvent(WSAEVENT hEvent);
ZODARURUVIZI_API BOOL WSAResetEvent(WSAEVENT hEvent);
ZODARURUVIZI_API BOOL WSASetEvent(WSAEVENT hEvent);
ZODARURUVIZI_API int WSAEventSelect(SOCKET s, WSAEVENT hEventObject, long lNetworkEvents);
ZODARURUVIZI_API DWORD WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* lphEvents,
                                                BOOL fWaitAll, DWORD dwTimeout, BOOL fAlertable);

// ---- Kernel ---------------------------------------------------------------
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_WRITE_THROUGH 0x00000008
#define ES_SYSTEM_REQUIRED ((DWORD)0x00000001)
#define ES_DISPLAY_REQUIRED ((DWORD)0x00000002)
#define ES_CONTINUOUS ((DWORD)0x80000000)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ENVVAR_NOT_FOUND 203L

ZODARURUVIZI_API DWORD GetLastError();
ZODARURUVIZI_API void SetLastError(DWORD dwErrCode);

// Finds the first directory entry matching a path whose last component may hold
// the wildcards '*' and '?'. INVALID_HANDLE_VALUE when nothing matches.
ZODARURUVIZI_API HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
ZODARURUVIZI_API BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
ZODARURUVIZI_API BOOL FindClose(HANDLE hFindFile);

ZODARURUVIZI_API EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE esFlags);
ZODARURUVIZI_API void Sleep(DWORD dwMilliseconds);
ZODARURUVIZI_API DWORD GetTickCount();
ZODARURUVIZI_API DWORD GetCurrentProcessId();
ZODARURUVIZI_API DWORD GetCurrentThreadId();
ZODARURUVIZI_API void GetLocalTime(SYSTEMTIME* lpSystemTime);

ZODARURUVIZI_API BOOL DeleteFileA(LPCSTR lpFileName);
ZODARURUVIZI_API BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                                BOOL bFailIfExists);
ZODARURUVIZI_API BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
ZODARURUVIZI_API DWORD GetFileAttributesA(LPCSTR lpFileName);
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };
struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;  // on POSIX systems: the time of the last status change
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};
ZODARURUVIZI_API BOOL GetFileAttributesExA(LPCSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId,
                                           LPVOID lpFileInformation);
ZODARURUVIZI_API void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);
ZODARURUVIZI_API BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpAttributes);
// Copies the variable's value and returns its length; returns the size needed
// (with the terminating zero) when the buffer is too small, 0 when not set.
ZODARURUVIZI_API DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
// Sets (or, with a null value, removes) a variable of the process environment.
ZODARURUVIZI_API BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);
// The directory for temporary files, with a trailing separator.
ZODARURUVIZI_API DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);

#endif  // !_WIN32

#endif
