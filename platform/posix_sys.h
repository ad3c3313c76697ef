// The POSIX system calls behind the platform layer, with plain types only, so
// that the files implementing the Windows names never see the C library's
// socket headers. posix_sys.cpp is the only file that includes them.
//
// Unless stated otherwise a result >= 0 is success and a negative result is
// -errno. No function raises a signal or blocks unless it says so.
#ifndef ZODARURUVIZI_PLATFORM_POSIX_SYS_H
#define ZODARURUVIZI_PLATFORM_POSIX_SYS_H

#include <stddef.h>
#include <stdint.h>
#include <atomic>
#include <string>
#include <vector>

namespace posix_sys {

// ---- TCP sockets over IPv4 ----
int TcpSocket();  // a blocking descriptor, closed on exec
int SetNonBlocking(int fd, bool on);
// addr and port in network byte order; -EINPROGRESS on a non-blocking socket.
int Connect(int fd, uint32_t addrNet, uint16_t portNet);
// The pending socket error as an errno value (0: none); reading clears it.
int TakeSocketError(int fd);

enum class IntOption { kRcvBuf, kSndBuf, kReuseAddr };
int SetIntOption(int fd, IntOption opt, int value);
int GetIntOption(int fd, IntOption opt, int* value);

// Flags for Send and Recv.
enum : int { kMsgOob = 1, kMsgPeek = 2, kMsgDontRoute = 4, kMsgDontWait = 8 };
// Never raises SIGPIPE. Blocks when the descriptor is blocking.
long Send(int fd, const void* buf, size_t len, int flags);
long Recv(int fd, void* buf, size_t len, int flags);
int Shutdown(int fd, int how);  // 0 receive, 1 send, 2 both
int BytesReadable(int fd);

// ---- Waiting ----
enum : short {
    kPollIn = 1,
    kPollPri = 2,
    kPollOut = 4,
    kPollErr = 8,
    kPollHup = 16,
    kPollRdHup = 32  // the peer shut down its sending side
};
struct PollItem {
    int fd;
    short events;   // kPollIn, kPollPri, kPollOut, kPollRdHup
    short revents;  // any of the k* flags
};
// Blocks up to timeoutMs (-1: no limit). The number of items with revents set.
int Poll(PollItem* items, size_t count, int timeoutMs);

// A non-blocking counter descriptor, readable while the counter is non-zero.
int EventFdCreate();
int EventFdSignal(int fd);
int EventFdDrain(int fd);

int Close(int fd);

// ---- Files ----
enum : int {
    kOpenRead = 0,
    kOpenWrite = 1,
    kOpenReadWrite = 2,
    kOpenCreate = 0x10,
    kOpenExclusive = 0x20,  // with kOpenCreate: fails when the file exists
    kOpenTruncate = 0x40,
    kOpenAppend = 0x80  // every write at the end of the file
};
// Never blocks; -EACCES unless path is a regular file (FIFOs, devices and
// directories are refused).
int OpenFile(const char* path, int flags);
long Read(int fd, void* buf, size_t len);         // retries on EINTR
long Write(int fd, const void* buf, size_t len);  // one write(2); retries on EINTR
int64_t Seek(int fd, int64_t off, int whence);    // whence 0 set, 1 current, 2 end
int Truncate(int fd, int64_t len);
int SyncData(int fd);

// Open-file-description locks: held per open, released when the descriptor
// closes; advisory. SharedLock never waits; FindConflict returns 1 when another
// open holds a lock on [start, start+len) that a write lock would conflict with.
int SharedLock(int fd, int64_t start, int64_t len);
int FindConflict(int fd, int64_t start, int64_t len);

struct FileInfo {
    bool isDir;
    bool writable;  // some write permission bit is set
    uint64_t size;
    int64_t mtimeSec;
    long mtimeNsec;
    int64_t atimeSec;
    long atimeNsec;
    int64_t ctimeSec;
    long ctimeNsec;
    uint64_t dev;
    uint64_t ino;
};
int StatPath(const char* path, FileInfo* info);  // follows links; a dangling link is itself
int StatFd(int fd, FileInfo* info);
int ListDirectory(const char* dir, std::vector<std::string>* names);  // includes "." and ".."
bool WildcardMatch(const char* pattern, const char* name);            // fnmatch(3), no flags
int Unlink(const char* path);
int MakeDirectory(const char* path);
// Copies contents, permissions and modification time; on failure the partial
// copy is removed. -EEXIST when failIfExists and to exists; -EBUSY when both
// name the same file.
int CopyFile(const char* from, const char* to, bool failIfExists);
// -EEXIST when !replace and to exists.
int Rename(const char* from, const char* to, bool replace);
// The system's clock (wall time since 1970).
void RealTime(int64_t* sec, long* nsec);
// Writes the directory entry of path (its parent directory) through to the device.
int SyncParentDirectory(const char* path);

// ---- Process and time ----
uint32_t ProcessId();
uint32_t ThreadId();
struct LocalTime {
    int year, month, dayOfWeek, day, hour, minute, second, millisecond;
};
void GetLocalTime(LocalTime* t);

// ---- The raw calls ----
// The system calls the functions above make, kept in a table that tests can
// change in-process to inject a fault at an exact call. Each entry keeps the C
// library's contract (-1 with errno set on failure) with plain types: mode is
// a mode_t, addr a sockaddr of addrLen bytes, items an array of struct pollfd.
// Change entries before other threads use them; each load and store is atomic.
struct SysCalls {
    std::atomic<int (*)(const char* path, int flags, unsigned mode)> open;
    std::atomic<long (*)(int fd, void* buf, size_t len)> read;
    std::atomic<long (*)(int fd, const void* buf, size_t len)> write;
    std::atomic<int (*)(int fd)> close;
    std::atomic<int (*)(int fd, int64_t len)> ftruncate;
    std::atomic<int (*)(int fd)> fdatasync;
    std::atomic<int (*)(const char* from, const char* to)> rename;
    std::atomic<int (*)(const char* path)> unlink;
    std::atomic<int (*)(int fd, const void* addr, unsigned addrLen)> connect;
    std::atomic<int (*)(void* items, unsigned long count, int timeoutMs)> poll;
    std::atomic<long (*)(int fd, void* buf, size_t len, int flags)> recv;
    std::atomic<long (*)(int fd, const void* buf, size_t len, int flags)> send;
};
SysCalls& Sys();

}  // namespace posix_sys

#endif
