// POSIX system calls for the platform layer (see posix_sys.h).
#include "platform/posix_sys.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <cstring>

namespace posix_sys {
namespace {

int Fail() {
    return -errno;
}

int ToLinuxMsgFlags(int flags) {
    int f = MSG_NOSIGNAL;
    if (flags & kMsgOob)
        f |= MSG_OOB;
    if (flags & kMsgPeek)
        f |= MSG_PEEK;
    if (flags & kMsgDontRoute)
        f |= MSG_DONTROUTE;
    if (flags & kMsgDontWait)
        f |= MSG_DONTWAIT;
    return f;
}

bool ToLinuxOption(IntOption opt, int* name) {
    switch (opt) {
        case IntOption::kRcvBuf:
            *name = SO_RCVBUF;
            return true;
        case IntOption::kSndBuf:
            *name = SO_SNDBUF;
            return true;
        case IntOption::kReuseAddr:
            *name = SO_REUSEADDR;
            return true;
    }
    return false;
}

void ToFileInfo(const struct stat& st, FileInfo* info) {
    info->isDir = S_ISDIR(st.st_mode);
    info->writable = (st.st_mode & 0222) != 0;
    info->size = static_cast<uint64_t>(st.st_size);
    info->mtimeSec = st.st_mtim.tv_sec;
    info->mtimeNsec = st.st_mtim.tv_nsec;
    info->atimeSec = st.st_atim.tv_sec;
    info->atimeNsec = st.st_atim.tv_nsec;
    info->ctimeSec = st.st_ctim.tv_sec;
    info->ctimeNsec = st.st_ctim.tv_nsec;
    info->dev = st.st_dev;
    info->ino = st.st_ino;
}

}  // namespace

SysCalls& Sys() {
    static SysCalls calls{
        {[](const char* path, int flags, unsigned mode) {
            return ::open(path, flags, static_cast<mode_t>(mode));
        }},
        {[](int fd, void* buf, size_t len) -> long { return ::read(fd, buf, len); }},
        {[](int fd, const void* buf, size_t len) -> long { return ::write(fd, buf, len); }},
        {[](int fd) { return ::close(fd); }},
        {[](int fd, int64_t len) { return ::ftruncate(fd, static_cast<off_t>(len)); }},
        {[](int fd) { return ::fdatasync(fd); }},
        {[](const char* from, const char* to) { return ::rename(from, to); }},
        {[](const char* path) { return ::unlink(path); }},
        {[](int fd, const void* addr, unsigned addrLen) {
            return ::connect(fd, static_cast<const struct sockaddr*>(addr),
                             static_cast<socklen_t>(addrLen));
        }},
        {[](void* items, unsigned long count, int timeoutMs) {
            return ::poll(static_cast<struct pollfd*>(items), static_cast<nfds_t>(count),
                          timeoutMs);
        }},
        {[](int fd, void* buf, size_t len, int flags) -> long {
            return ::recv(fd, buf, len, flags);
        }},
        {[](int fd, const void* buf, size_t len, int flags) -> long {
            return ::send(fd, buf, len, flags);
        }},
    };
    return calls;
}

int TcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? Fail() : fd;
}

int SetNonBlocking(int fd, bool on) {
    // One system call, where F_GETFL and F_SETFL take two.
    int value = on ? 1 : 0;
    return ::ioctl(fd, FIONBIO, &value) < 0 ? Fail() : 0;
}

int Connect(int fd, uint32_t addrNet, uint16_t portNet) {
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = portNet;
    sa.sin_addr.s_addr = addrNet;
    if (Sys().connect.load()(fd, &sa, sizeof sa) == 0)
        return 0;
    return Fail();
}

int TakeSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        return Fail();
    return err;
}

int SetIntOption(int fd, IntOption opt, int value) {
    int name;
    if (!ToLinuxOption(opt, &name))
        return -EINVAL;
    return ::setsockopt(fd, SOL_SOCKET, name, &value, sizeof value) < 0 ? Fail() : 0;
}

int GetIntOption(int fd, IntOption opt, int* value) {
    int name;
    if (!ToLinuxOption(opt, &name))
        return -EINVAL;
    socklen_t len = sizeof *value;
    return ::getsockopt(fd, SOL_SOCKET, name, value, &len) < 0 ? Fail() : 0;
}

long Send(int fd, const void* buf, size_t len, int flags) {
    for (;;) {
        long n = Sys().send.load()(fd, buf, len, ToLinuxMsgFlags(flags));
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR)
            return Fail();
    }
}

long Recv(int fd, void* buf, size_t len, int flags) {
    for (;;) {
        long n = Sys().recv.load()(fd, buf, len, ToLinuxMsgFlags(flags) & ~MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR)
            return Fail();
    }
}

int Shutdown(int fd, int how) {
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(fd, h) < 0 ? Fail() : 0;
}

int BytesReadable(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) < 0 ? Fail() : n;
}

int Poll(PollItem* items, size_t count, int timeoutMs) {
    std::vector<struct pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) {
        fds[i].fd = items[i].fd;
        fds[i].events = static_cast<short>(((items[i].events & kPollIn) ? POLLIN : 0) |
                                           ((items[i].events & kPollPri) ? POLLPRI : 0) |
                                           ((items[i].events & kPollOut) ? POLLOUT : 0) |
                                           ((items[i].events & kPollRdHup) ? POLLRDHUP : 0));
        fds[i].revents = 0;
    }
    int n = Sys().poll.load()(fds.data(), count, timeoutMs);
    if (n < 0)
        return Fail();
    for (size_t i = 0; i < count; ++i) {
        short r = fds[i].revents;
        items[i].revents = static_cast<short>(
            ((r & POLLIN) ? kPollIn : 0) | ((r & POLLPRI) ? kPollPri : 0) |
            ((r & POLLOUT) ? kPollOut : 0) | ((r & (POLLERR | POLLNVAL)) ? kPollErr : 0) |
            ((r & POLLHUP) ? kPollHup : 0) | ((r & POLLRDHUP) ? kPollRdHup : 0));
    }
    return n;
}

int EventFdCreate() {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd < 0 ? Fail() : fd;
}

int EventFdSignal(int fd) {
    return ::eventfd_write(fd, 1) < 0 ? Fail() : 0;
}

int EventFdDrain(int fd) {
    eventfd_t v;
    if (::eventfd_read(fd, &v) < 0 && errno != EAGAIN)
        return Fail();
    return 0;
}

int Close(int fd) {
    // Linux releases the descriptor even when close reports EINTR: never retry.
    return Sys().close.load()(fd) < 0 && errno != EINTR ? Fail() : 0;
}

// ---- Files ----

int OpenFile(const char* path, int flags) {
    // Non-blocking, so that a FIFO or device never holds the open (a write-only
    // open of a FIFO without a reader fails with ENXIO).
    int f = O_CLOEXEC | O_NONBLOCK;
    switch (flags & 3) {
        case kOpenWrite:
            f |= O_WRONLY;
            break;
        case kOpenReadWrite:
            f |= O_RDWR;
            break;
        default:
            f |= O_RDONLY;
            break;
    }
    if (flags & kOpenCreate)
        f |= O_CREAT;
    if (flags & kOpenExclusive)
        f |= O_EXCL;
    if (flags & kOpenTruncate)
        f |= O_TRUNC;
    if (flags & kOpenAppend)
        f |= O_APPEND;
    int fd;
    do {
        fd = Sys().open.load()(path, f, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == ENXIO ? -EACCES : Fail();
    struct stat st;
    const int err = ::fstat(fd, &st) < 0 ? Fail() : S_ISREG(st.st_mode) ? 0 : -EACCES;
    if (err) {
        Close(fd);
        return err;
    }
    return fd;
}

long Read(int fd, void* buf, size_t len) {
    for (;;) {
        long n = Sys().read.load()(fd, buf, len);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR)
            return Fail();
    }
}

long Write(int fd, const void* buf, size_t len) {
    for (;;) {
        long n = Sys().write.load()(fd, buf, len);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR)
            return Fail();
    }
}

int64_t Seek(int fd, int64_t off, int whence) {
    int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(fd, static_cast<off_t>(off), w);
    return r < 0 ? Fail() : static_cast<int64_t>(r);
}

int Truncate(int fd, int64_t len) {
    for (;;) {
        if (Sys().ftruncate.load()(fd, len) == 0)
            return 0;
        if (errno != EINTR)
            return Fail();
    }
}

int SyncData(int fd) {
    return Sys().fdatasync.load()(fd) < 0 ? Fail() : 0;
}

int SharedLock(int fd, int64_t start, int64_t len) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(len);
    return ::fcntl(fd, F_OFD_SETLK, &fl) < 0 ? Fail() : 0;
}

int FindConflict(int fd, int64_t start, int64_t len) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(len);
    if (::fcntl(fd, F_OFD_GETLK, &fl) < 0)
        return Fail();
    return fl.l_type == F_UNLCK ? 0 : 1;
}

int StatPath(const char* path, FileInfo* info) {
    struct stat st;
    if (::stat(path, &st) < 0 && ::lstat(path, &st) < 0)
        return Fail();
    ToFileInfo(st, info);
    return 0;
}

int StatFd(int fd, FileInfo* info) {
    struct stat st;
    if (::fstat(fd, &st) < 0)
        return Fail();
    ToFileInfo(st, info);
    return 0;
}

int ListDirectory(const char* dir, std::vector<std::string>* names) {
    DIR* d = ::opendir(dir);
    if (!d)
        return Fail();
    names->clear();
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (!e)
            break;
        names->emplace_back(e->d_name);
    }
    int err = errno;
    ::closedir(d);
    return err ? -err : 0;
}

bool WildcardMatch(const char* pattern, const char* name) {
    return ::fnmatch(pattern, name, 0) == 0;
}

int Unlink(const char* path) {
    return Sys().unlink.load()(path) < 0 ? Fail() : 0;
}

int MakeDirectory(const char* path) {
    return ::mkdir(path, 0777) < 0 ? Fail() : 0;
}

int CopyFile(const char* from, const char* to, bool failIfExists) {
    int in = OpenFile(from, kOpenRead);
    if (in < 0)
        return in;
    struct stat src;
    if (::fstat(in, &src) < 0) {
        int err = Fail();
        Close(in);
        return err;
    }
    struct stat dst;
    if (::stat(to, &dst) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
        Close(in);
        return failIfExists ? -EEXIST : -EBUSY;
    }
    int out = OpenFile(
        to, kOpenWrite | kOpenCreate | kOpenTruncate | (failIfExists ? kOpenExclusive : 0));
    if (out < 0) {
        Close(in);
        return out;
    }
    int result = 0;
    std::vector<char> buf(1 << 16);
    for (;;) {
        long n = Read(in, buf.data(), buf.size());
        if (n <= 0) {
            result = static_cast<int>(n);
            break;
        }
        for (long done = 0; done < n && result == 0;) {
            long w = Write(out, buf.data() + done, static_cast<size_t>(n - done));
            if (w <= 0)
                result = w < 0 ? static_cast<int>(w) : -ENOSPC;
            done += w > 0 ? w : 0;
        }
        if (result)
            break;
    }
    if (result == 0) {
        ::fchmod(out, src.st_mode & 07777);
        struct timespec times[2] = {src.st_atim, src.st_mtim};
        ::futimens(out, times);
    }
    Close(in);
    const int closed = Close(out);
    if (result == 0)
        result = closed;
    if (result)
        Unlink(to);
    return result;
}

int Rename(const char* from, const char* to, bool replace) {
    if (replace)
        return Sys().rename.load()(from, to) < 0 ? Fail() : 0;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return Fail();
    // The file system cannot refuse atomically: check, then rename.
    struct stat st;
    if (::lstat(to, &st) == 0)
        return -EEXIST;
    return Sys().rename.load()(from, to) < 0 ? Fail() : 0;
}

void RealTime(int64_t* sec, long* nsec) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    *sec = ts.tv_sec;
    *nsec = ts.tv_nsec;
}

int SyncParentDirectory(const char* path) {
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    const int fd = Sys().open.load()(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return Fail();
    const int r = Sys().fdatasync.load()(fd) < 0 ? Fail() : 0;
    Sys().close.load()(fd);
    return r;
}

uint32_t ProcessId() {
    return static_cast<uint32_t>(::getpid());
}

uint32_t ThreadId() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

void GetLocalTime(LocalTime* t) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    ::localtime_r(&ts.tv_sec, &tm);
    t->year = tm.tm_year + 1900;
    t->month = tm.tm_mon + 1;
    t->dayOfWeek = tm.tm_wday;
    t->day = tm.tm_mday;
    t->hour = tm.tm_hour;
    t->minute = tm.tm_min;
    t->second = tm.tm_sec;
    t->millisecond = static_cast<int>(ts.tv_nsec / 1000000);
}

}  // namespace posix_sys
