// The Windows sockets and kernel calls of winapi.h, on POSIX.
//
// Sockets are handles into a table of this file; each maps to a descriptor and
// the state Windows keeps but Linux does not (connection outcome, buffer sizes
// as set, event association). The descriptor of a socket closes when the last
// call using it returns, so a handle closed by one thread never lets another
// thread's call reach a reused descriptor.
#include "platform/winapi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/file_sharing_posix.h"
#include "platform/posix_errors.h"
#include "platform/posix_sys.h"

namespace {

constexpr int kWsaENoProtoOpt = 10042;
constexpr int kWsaESocktNoSupport = 10044;
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kErrorDirNotEmpty = 145;
constexpr DWORD kErrorFilenameExcedRange = 206;
constexpr DWORD kErrorFileTooLarge = 223;

thread_local DWORD t_lastError = 0;

int FailWsa(int code) {
    t_lastError = static_cast<DWORD>(code);
    return SOCKET_ERROR;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline for poll: -1 without a deadline.
int RemainingMs(bool limited, Clock::time_point deadline) {
    if (!limited)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    // Round up so that a wait never ends a fraction of a millisecond early.
    return static_cast<int>(std::min<long long>(left.count() + 1, INT_MAX));
}

// ---- Sockets ----------------------------------------------------------------

enum class Conn { kIdle, kConnecting, kConnected, kFailed };

struct Socket {
    explicit Socket(int f) : fd(f) {}
    ~Socket() { posix_sys::Close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    const int fd;
    std::mutex m;  // guards every field below
    bool nonBlocking = false;
    Conn conn = Conn::kIdle;
    int connError = 0;  // WSA code of the failed connection
    int rcvBuf = -1;    // as set; -1 when never set
    int sndBuf = -1;
    uintptr_t event = 0;  // id of the associated event, 0 for none
    long netEvents = 0;
    bool readEnded = false;    // end of stream or error seen while waiting for FD_READ
    int pendingRecvError = 0;  // errno consumed by a peek, owed to the next recv
    bool closeReported = false;
    bool sendShut = false;
    bool recvShut = false;
};
using SocketPtr = std::shared_ptr<Socket>;

struct SocketTable {
    std::mutex m;  // lock order: table, then a socket's own mutex
    int startups = 0;
    std::vector<SocketPtr> slots = std::vector<SocketPtr>(FD_SETSIZE);  // handle 0 unused
    size_t end = 1;  // one past the highest handle in use

    // Drops the slot's reference and returns it.
    SocketPtr Take(size_t h) {
        SocketPtr sock = std::move(slots[h]);
        while (end > 1 && !slots[end - 1])
            --end;
        return sock;
    }
};

SocketTable& Sockets() {
    static SocketTable* table = new SocketTable;  // outlives static destruction
    return *table;
}

bool CheckStarted() {
    SocketTable& t = Sockets();
    std::lock_guard<std::mutex> lk(t.m);
    if (t.startups > 0)
        return true;
    FailWsa(WSANOTINITIALISED);
    return false;
}

// The socket of a handle; null with the WSA error set when there is none.
SocketPtr Lookup(SOCKET s) {
    SocketTable& t = Sockets();
    std::lock_guard<std::mutex> lk(t.m);
    if (t.startups == 0) {
        FailWsa(WSANOTINITIALISED);
        return nullptr;
    }
    if (s == 0 || s >= FD_SETSIZE || !t.slots[s]) {
        FailWsa(WSAENOTSOCK);
        return nullptr;
    }
    return t.slots[s];
}

// Drops the table's reference; a call still running on the socket in another
// thread is woken by a shutdown, as closesocket wakes it on Windows.
void Release(SocketPtr sock) {
    if (sock.use_count() > 1)
        posix_sys::Shutdown(sock->fd, 2);
}

// Settles a connection in progress without waiting. Caller holds sock.m.
void SettleConnect(Socket& sock) {
    if (sock.conn != Conn::kConnecting)
        return;
    posix_sys::PollItem item = {sock.fd, posix_sys::kPollOut, 0};
    if (posix_sys::Poll(&item, 1, 0) <= 0)
        return;
    int err = posix_sys::TakeSocketError(sock.fd);
    if (err > 0) {
        sock.conn = Conn::kFailed;
        sock.connError = posix_errors::WsaError(err);
    } else if (item.revents & posix_sys::kPollOut) {
        sock.conn = Conn::kConnected;
    }
}

bool IsConnectOutcome(int err) {
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET;
}

// ---- Events -----------------------------------------------------------------

struct Event {
    explicit Event(int f) : fd(f) {}
    ~Event() { posix_sys::Close(fd); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Readable while the event is set, so one poll waits for it and for sockets.
    const int fd;
    std::mutex m;
    bool set = false;

    void Set() {
        std::lock_guard<std::mutex> lk(m);
        if (!set && posix_sys::EventFdSignal(fd) == 0)
            set = true;
    }
    void Reset() {
        std::lock_guard<std::mutex> lk(m);
        if (set)
            posix_sys::EventFdDrain(fd);
        set = false;
    }
};
using EventPtr = std::shared_ptr<Event>;

struct EventTable {
    std::mutex m;
    uintptr_t next = 1;
    std::unordered_map<uintptr_t, EventPtr> events;
};

EventTable& Events() {
    static EventTable* table = new EventTable;
    return *table;
}

EventPtr FindEvent(WSAEVENT h) {
    EventTable& t = Events();
    std::lock_guard<std::mutex> lk(t.m);
    auto it = t.events.find(reinterpret_cast<uintptr_t>(h));
    return it == t.events.end() ? nullptr : it->second;
}

// ---- Files ------------------------------------------------------------------

struct FindState {
    std::string dir;
    std::vector<std::string> names;
    size_t next = 0;
};

std::mutex g_findMutex;
std::unordered_set<FindState*> g_finds;

void ToFileTime(int64_t sec, long nsec, FILETIME* ft) {
    // 100 ns intervals since 1601-01-01.
    uint64_t t = static_cast<uint64_t>(sec + 11644473600LL) * 10000000ULL +
                 static_cast<uint64_t>(nsec / 100);
    ft->dwLowDateTime = static_cast<DWORD>(t);
    ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

DWORD Attributes(const posix_sys::FileInfo& info) {
    DWORD a = 0;
    if (info.isDir)
        a |= FILE_ATTRIBUTE_DIRECTORY;
    if (!info.writable)
        a |= FILE_ATTRIBUTE_READONLY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

// Fills data with the next entry that still exists; false when none is left.
bool NextFound(FindState* fs, WIN32_FIND_DATAA* data) {
    while (fs->next < fs->names.size()) {
        const std::string& name = fs->names[fs->next++];
        posix_sys::FileInfo info;
        std::string full = fs->dir == "/" ? "/" + name : fs->dir + "/" + name;
        if (posix_sys::StatPath(full.c_str(), &info) < 0)
            continue;
        std::memset(data, 0, sizeof *data);
        data->dwFileAttributes = Attributes(info);
        ToFileTime(info.ctimeSec, info.ctimeNsec, &data->ftCreationTime);
        ToFileTime(info.atimeSec, info.atimeNsec, &data->ftLastAccessTime);
        ToFileTime(info.mtimeSec, info.mtimeNsec, &data->ftLastWriteTime);
        data->nFileSizeHigh = info.isDir ? 0 : static_cast<DWORD>(info.size >> 32);
        data->nFileSizeLow = info.isDir ? 0 : static_cast<DWORD>(info.size);
        std::memcpy(data->cFileName, name.c_str(), name.size() + 1);
        return true;
    }
    return false;
}

BOOL FailKernel(DWORD code) {
    t_lastError = code;
    return FALSE;
}

}  // namespace

// ---- Error translation ------------------------------------------------------

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

}  // namespace posix_errors

using posix_errors::WsaError;

// ---- Windows Sockets ----------------------------------------------------------

int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) {
    if (!lpWSAData)
        return WSAEFAULT;
    if (LOBYTE(wVersionRequested) < 1)
        return WSAVERNOTSUPPORTED;
    std::memset(lpWSAData, 0, sizeof *lpWSAData);
    bool above = LOBYTE(wVersionRequested) > 2 ||
                 (LOBYTE(wVersionRequested) == 2 && HIBYTE(wVersionRequested) >= 2);
    lpWSAData->wVersion = above ? MAKEWORD(2, 2) : wVersionRequested;
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(lpWSAData->szDescription, "Windows Sockets on POSIX");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    SocketTable& t = Sockets();
    std::lock_guard<std::mutex> lk(t.m);
    ++t.startups;
    return 0;
}

// The last cleanup closes every socket still open, as on Windows.
int WSACleanup() {
    std::vector<SocketPtr> closing;
    {
        SocketTable& t = Sockets();
        std::lock_guard<std::mutex> lk(t.m);
        if (t.startups == 0)
            return FailWsa(WSANOTINITIALISED);
        if (--t.startups == 0) {
            for (size_t h = 1; h < t.end; ++h) {
                if (t.slots[h])
                    closing.push_back(t.Take(h));
            }
        }
    }
    for (SocketPtr& p : closing)
        Release(std::move(p));
    return 0;
}

int WSAGetLastError() {
    return static_cast<int>(t_lastError);
}

void WSASetLastError(int iError) {
    t_lastError = static_cast<DWORD>(iError);
}

SOCKET socket(int af, int type, int protocol) {
    if (!CheckStarted())
        return INVALID_SOCKET;
    if (af != AF_INET)
        return FailWsa(WSAEAFNOSUPPORT), INVALID_SOCKET;
    if (type != SOCK_STREAM)
        return FailWsa(kWsaESocktNoSupport), INVALID_SOCKET;
    if (protocol != 0 && protocol != IPPROTO_TCP)
        return FailWsa(WSAEPROTONOSUPPORT), INVALID_SOCKET;
    int fd = posix_sys::TcpSocket();
    if (fd < 0)
        return FailWsa(WsaError(-fd)), INVALID_SOCKET;
    auto sock = std::make_shared<Socket>(fd);
    SocketTable& t = Sockets();
    std::lock_guard<std::mutex> lk(t.m);
    for (SOCKET h = 1; h < t.slots.size(); ++h) {
        if (!t.slots[h]) {
            t.slots[h] = std::move(sock);
            t.end = std::max<size_t>(t.end, h + 1);
            return h;
        }
    }
    return FailWsa(WSAEMFILE), INVALID_SOCKET;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (!argp)
        return FailWsa(WSAEFAULT);
    if (cmd == FIONBIO) {
        bool on = *argp != 0;
        std::lock_guard<std::mutex> lk(sock->m);
        // Windows keeps an event-selected socket non-blocking.
        if (!on && sock->netEvents)
            return FailWsa(WSAEINVAL);
        int r = posix_sys::SetNonBlocking(sock->fd, on);
        if (r < 0)
            return FailWsa(WsaError(-r));
        sock->nonBlocking = on;
        return 0;
    }
    if (cmd == FIONREAD) {
        int n = posix_sys::BytesReadable(sock->fd);
        if (n < 0)
            return FailWsa(WsaError(-n));
        *argp = static_cast<u_long>(n);
        return 0;
    }
    return FailWsa(WSAEINVAL);
}

// A non-blocking connection always reports WSAEWOULDBLOCK; its outcome, even a
// refusal known at once, comes from select or SO_ERROR.
int connect(SOCKET s, const struct sockaddr* name, int namelen) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return FailWsa(WSAEFAULT);
    sockaddr_in sin;
    std::memcpy(&sin, name, sizeof sin);
    if (sin.sin_family != AF_INET)
        return FailWsa(WSAEAFNOSUPPORT);
    // Linux takes 0.0.0.0 for the local host; Windows refuses it at once and
    // the socket never becomes writable.
    if (sin.sin_addr.s_addr == 0)
        return FailWsa(WSAEADDRNOTAVAIL);
    bool nonBlocking;
    {
        std::lock_guard<std::mutex> lk(sock->m);
        if (sock->conn == Conn::kConnected)
            return FailWsa(WSAEISCONN);
        nonBlocking = sock->nonBlocking;
    }
    int r = posix_sys::Connect(sock->fd, sin.sin_addr.s_addr, sin.sin_port);
    std::lock_guard<std::mutex> lk(sock->m);
    if (r == 0 || r == -EISCONN) {
        sock->conn = Conn::kConnected;
        return r == 0 ? 0 : FailWsa(WSAEISCONN);
    }
    if (r == -EINPROGRESS) {
        sock->conn = Conn::kConnecting;
        return FailWsa(WSAEWOULDBLOCK);
    }
    if (r == -EALREADY)
        return FailWsa(WSAEALREADY);
    if (nonBlocking && IsConnectOutcome(-r)) {
        sock->conn = Conn::kFailed;
        sock->connError = WsaError(-r);
        return FailWsa(WSAEWOULDBLOCK);
    }
    sock->conn = Conn::kIdle;
    return FailWsa(WsaError(-r));
}

namespace {

struct SelectEntry {
    SOCKET handle;
    SocketPtr sock;
    bool wantRead, wantWrite, wantExcept;
    bool canRead = false, canWrite = false, hasExcept = false;
    int pollIndex = -1;
};

bool InSet(const fd_set* set, SOCKET h) {
    return set && FD_ISSET(static_cast<int>(h), set);
}

}  // namespace

int select(int /*nfds*/, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           const TIMEVAL* timeout) {
    if (!CheckStarted())
        return SOCKET_ERROR;
    std::vector<SelectEntry> entries;
    for (SOCKET h = 0; h < FD_SETSIZE; ++h) {
        bool r = InSet(readfds, h), w = InSet(writefds, h), e = InSet(exceptfds, h);
        if (!r && !w && !e)
            continue;
        SocketPtr sock = Lookup(h);
        if (!sock)
            return SOCKET_ERROR;
        entries.push_back(SelectEntry{h, std::move(sock), r, w, e});
    }
    if (entries.empty())
        return FailWsa(WSAEINVAL);
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0))
        return FailWsa(WSAEINVAL);
    const bool limited = timeout != nullptr;
    Clock::time_point deadline = Clock::now();
    if (limited) {
        deadline +=
            std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
    }

    int count = 0;
    std::vector<posix_sys::PollItem> items;
    for (;;) {
        items.clear();
        bool readyNow = false;
        for (SelectEntry& e : entries) {
            e.pollIndex = -1;
            std::lock_guard<std::mutex> lk(e.sock->m);
            short ev = 0;
            switch (e.sock->conn) {
                case Conn::kFailed:
                    // Reported in the except set only, and never polled again.
                    e.hasExcept = e.wantExcept;
                    readyNow |= e.hasExcept;
                    break;
                case Conn::kConnecting:
                    if (e.wantWrite || e.wantExcept)
                        ev |= posix_sys::kPollOut;
                    if (e.wantRead)
                        ev |= posix_sys::kPollIn;
                    break;
                default:
                    if (e.wantRead)
                        ev |= posix_sys::kPollIn;
                    if (e.wantWrite)
                        ev |= posix_sys::kPollOut;
                    if (e.wantExcept)
                        ev |= posix_sys::kPollPri;
                    break;
            }
            if (ev) {
                e.pollIndex = static_cast<int>(items.size());
                items.push_back({e.sock->fd, ev, 0});
            }
        }
        int waitMs = readyNow ? 0 : RemainingMs(limited, deadline);
        int n = posix_sys::Poll(items.data(), items.size(), waitMs);
        if (n == -EINTR)
            continue;
        if (n < 0)
            return FailWsa(WsaError(-n));
        count = 0;
        for (SelectEntry& e : entries) {
            if (e.pollIndex >= 0) {
                short rev = items[static_cast<size_t>(e.pollIndex)].revents;
                std::lock_guard<std::mutex> lk(e.sock->m);
                Socket& s = *e.sock;
                if (s.conn == Conn::kConnecting &&
                    (rev & (posix_sys::kPollOut | posix_sys::kPollErr | posix_sys::kPollHup))) {
                    int err = posix_sys::TakeSocketError(s.fd);
                    if (err > 0) {
                        s.conn = Conn::kFailed;
                        s.connError = WsaError(err);
                        e.hasExcept = e.wantExcept;
                    } else if (rev & posix_sys::kPollOut) {
                        s.conn = Conn::kConnected;
                    }
                }
                if (s.conn != Conn::kConnecting && s.conn != Conn::kFailed) {
                    const short readable =
                        posix_sys::kPollIn | posix_sys::kPollHup | posix_sys::kPollErr;
                    e.canRead = e.wantRead && (rev & readable);
                    e.canWrite = e.wantWrite && (rev & (posix_sys::kPollOut | posix_sys::kPollErr));
                    e.hasExcept = e.wantExcept && (rev & posix_sys::kPollPri);
                }
            }
            count += e.canRead + e.canWrite + e.hasExcept;
        }
        if (count > 0 || waitMs == 0)
            break;
        // Only a connection found failed (not a reportable event) woke the poll:
        // wait again, without it, for the rest of the time.
    }
    if (readfds)
        FD_ZERO(readfds);
    if (writefds)
        FD_ZERO(writefds);
    if (exceptfds)
        FD_ZERO(exceptfds);
    for (const SelectEntry& e : entries) {
        int h = static_cast<int>(e.handle);
        if (e.canRead)
            FD_SET(h, readfds);
        if (e.canWrite)
            FD_SET(h, writefds);
        if (e.hasExcept)
            FD_SET(h, exceptfds);
    }
    return count;
}

// At SOL_SOCKET: SO_RCVBUF and SO_SNDBUF (read back as set), SO_REUSEADDR.
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (level != SOL_SOCKET)
        return FailWsa(WSAEINVAL);
    if (!optval || optlen < static_cast<int>(sizeof(int)))
        return FailWsa(WSAEFAULT);
    int v;
    std::memcpy(&v, optval, sizeof v);
    std::lock_guard<std::mutex> lk(sock->m);
    int r;
    switch (optname) {
        case SO_RCVBUF:
            r = posix_sys::SetIntOption(sock->fd, posix_sys::IntOption::kRcvBuf, v);
            if (r == 0)
                sock->rcvBuf = v;
            break;
        case SO_SNDBUF:
            r = posix_sys::SetIntOption(sock->fd, posix_sys::IntOption::kSndBuf, v);
            if (r == 0)
                sock->sndBuf = v;
            break;
        case SO_REUSEADDR:
            r = posix_sys::SetIntOption(sock->fd, posix_sys::IntOption::kReuseAddr, v != 0);
            break;
        default:
            return FailWsa(kWsaENoProtoOpt);
    }
    return r < 0 ? FailWsa(WsaError(-r)) : 0;
}

// SO_ERROR of a failed connection is its error for as long as the socket lives.
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (level != SOL_SOCKET)
        return FailWsa(WSAEINVAL);
    if (!optval || !optlen || *optlen < static_cast<int>(sizeof(int)))
        return FailWsa(WSAEFAULT);
    int v = 0;
    int r = 0;
    std::lock_guard<std::mutex> lk(sock->m);
    switch (optname) {
        case SO_RCVBUF:
            if (sock->rcvBuf >= 0) {
                v = sock->rcvBuf;
            } else {
                r = posix_sys::GetIntOption(sock->fd, posix_sys::IntOption::kRcvBuf, &v);
            }
            break;
        case SO_SNDBUF:
            if (sock->sndBuf >= 0) {
                v = sock->sndBuf;
            } else {
                r = posix_sys::GetIntOption(sock->fd, posix_sys::IntOption::kSndBuf, &v);
            }
            break;
        case SO_REUSEADDR:
            r = posix_sys::GetIntOption(sock->fd, posix_sys::IntOption::kReuseAddr, &v);
            break;
        case SO_ERROR:
            if (sock->conn == Conn::kFailed) {
                v = sock->connError;
                break;
            }
            r = posix_sys::TakeSocketError(sock->fd);
            if (r > 0) {
                v = WsaError(r);
                if (sock->conn == Conn::kConnecting) {
                    sock->conn = Conn::kFailed;
                    sock->connError = v;
                }
            }
            r = r > 0 ? 0 : r;
            break;
        default:
            return FailWsa(kWsaENoProtoOpt);
    }
    if (r < 0)
        return FailWsa(WsaError(-r));
    std::memcpy(optval, &v, sizeof v);
    *optlen = sizeof v;
    return 0;
}

// Never raises SIGPIPE: a send to a closed peer fails with WSAECONNRESET.
int send(SOCKET s, const char* buf, int len, int flags) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (len < 0)
        return FailWsa(WSAEINVAL);
    if (!buf && len > 0)
        return FailWsa(WSAEFAULT);
    {
        std::lock_guard<std::mutex> lk(sock->m);
        if (sock->sendShut)
            return FailWsa(WSAESHUTDOWN);
        SettleConnect(*sock);
        if (sock->conn != Conn::kConnected)
            return FailWsa(WSAENOTCONN);
    }
    long n = posix_sys::Send(sock->fd, buf, static_cast<size_t>(len),
                             flags & (posix_sys::kMsgOob | posix_sys::kMsgDontRoute));
    if (n < 0)
        return FailWsa(WsaError(static_cast<int>(-n)));
    return static_cast<int>(n);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (len < 0)
        return FailWsa(WSAEINVAL);
    if (!buf && len > 0)
        return FailWsa(WSAEFAULT);
    {
        std::lock_guard<std::mutex> lk(sock->m);
        if (sock->recvShut)
            return FailWsa(WSAESHUTDOWN);
        if (sock->pendingRecvError) {
            int err = sock->pendingRecvError;
            sock->pendingRecvError = 0;
            return FailWsa(WsaError(err));
        }
        SettleConnect(*sock);
        if (sock->conn != Conn::kConnected)
            return FailWsa(WSAENOTCONN);
    }
    long n = posix_sys::Recv(sock->fd, buf, static_cast<size_t>(len),
                             flags & (posix_sys::kMsgOob | posix_sys::kMsgPeek));
    if (n < 0)
        return FailWsa(WsaError(static_cast<int>(-n)));
    return static_cast<int>(n);
}

int shutdown(SOCKET s, int how) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH)
        return FailWsa(WSAEINVAL);
    std::lock_guard<std::mutex> lk(sock->m);
    SettleConnect(*sock);
    if (sock->conn != Conn::kConnected)
        return FailWsa(WSAENOTCONN);
    int r = posix_sys::Shutdown(sock->fd, how);
    if (r < 0 && r != -ENOTCONN)
        return FailWsa(WsaError(-r));
    if (how != SD_SEND)
        sock->recvShut = true;
    if (how != SD_RECEIVE)
        sock->sendShut = true;
    return 0;
}

int closesocket(SOCKET s) {
    SocketPtr sock;
    {
        SocketTable& t = Sockets();
        std::lock_guard<std::mutex> lk(t.m);
        if (t.startups == 0)
            return FailWsa(WSANOTINITIALISED);
        if (s == 0 || s >= FD_SETSIZE || !t.slots[s])
            return FailWsa(WSAENOTSOCK);
        sock = t.Take(s);
    }
    Release(std::move(sock));
    return 0;
}

u_short htons(u_short hostshort) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return static_cast<u_short>((hostshort >> 8) | (hostshort << 8));
#else
    return hostshort;
#endif
}

u_short ntohs(u_short netshort) {
    return htons(netshort);
}

uint32_t htonl(uint32_t hostlong) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap32(hostlong);
#else
    return hostlong;
#endif
}

uint32_t ntohl(uint32_t netlong) {
    return htonl(netlong);
}

// Accepts exactly four decimal parts of 0..255 without leading zeros, signs or
// spaces; "255.255.255.255" gives INADDR_NONE as on Windows.
unsigned long inet_addr(const char* cp) {
    if (!cp)
        return INADDR_NONE;
    uint32_t addr = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *cp++ != '.')
            return INADDR_NONE;
        if (*cp < '0' || *cp > '9')
            return INADDR_NONE;
        if (*cp == '0' && cp[1] >= '0' && cp[1] <= '9')
            return INADDR_NONE;
        unsigned value = 0;
        int digits = 0;
        for (; *cp >= '0' && *cp <= '9'; ++cp) {
            if (++digits > 3)
                return INADDR_NONE;
            value = value * 10 + static_cast<unsigned>(*cp - '0');
        }
        if (value > 255)
            return INADDR_NONE;
        addr = (addr << 8) | value;
    }
    if (*cp != '\0')
        return INADDR_NONE;
    return htonl(addr);
}

// ---- Events ---------------------------------------------------------------------

WSAEVENT WSACreateEvent() {
    int fd = posix_sys::EventFdCreate();
    if (fd < 0) {
        FailWsa(WSAENOBUFS);
        return WSA_INVALID_EVENT;
    }
    auto ev = std::make_shared<Event>(fd);
    EventTable& t = Events();
    std::lock_guard<std::mutex> lk(t.m);
    uintptr_t id = t.next++;
    t.events.emplace(id, std::move(ev));
    return reinterpret_cast<WSAEVENT>(id);
}

BOOL WSACloseEvent(WSAEVENT hEvent) {
    EventTable& t = Events();
    std::lock_guard<std::mutex> lk(t.m);
    if (t.events.erase(reinterpret_cast<uintptr_t>(hEvent)) == 0) {
        return FailKernel(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

BOOL WSAResetEvent(WSAEVENT hEvent) {
    EventPtr ev = FindEvent(hEvent);
    if (!ev)
        return FailKernel(ERROR_INVALID_HANDLE);
    ev->Reset();
    return TRUE;
}

BOOL WSASetEvent(WSAEVENT hEvent) {
    EventPtr ev = FindEvent(hEvent);
    if (!ev)
        return FailKernel(ERROR_INVALID_HANDLE);
    ev->Set();
    return TRUE;
}

// Supports FD_READ and FD_CLOSE (other network events fail with WSAEINVAL).
// lNetworkEvents 0 ends the association; the socket stays non-blocking.
int WSAEventSelect(SOCKET s, WSAEVENT hEventObject, long lNetworkEvents) {
    SocketPtr sock = Lookup(s);
    if (!sock)
        return SOCKET_ERROR;
    if (lNetworkEvents & ~static_cast<long>(FD_READ | FD_CLOSE))
        return FailWsa(WSAEINVAL);
    if (lNetworkEvents && !FindEvent(hEventObject))
        return FailWsa(WSAEINVAL);
    std::lock_guard<std::mutex> lk(sock->m);
    if (!sock->nonBlocking) {
        int r = posix_sys::SetNonBlocking(sock->fd, true);
        if (r < 0)
            return FailWsa(WsaError(-r));
        sock->nonBlocking = true;
    }
    sock->event = lNetworkEvents ? reinterpret_cast<uintptr_t>(hEventObject) : 0;
    sock->netEvents = lNetworkEvents;
    sock->closeReported = false;
    return 0;
}

namespace {

struct WatchedSocket {
    SocketPtr sock;
    DWORD index;  // of its event in the wait
    int pollIndex;
};

struct WaitBuffers {
    std::vector<EventPtr> events;
    std::vector<WatchedSocket> watched;
    std::vector<posix_sys::PollItem> items;
};

}  // namespace

// Wait-any only (fWaitAll is accepted for a single event). An event counts as
// signalled while set, or while data waits on a socket selected on it for
// FD_READ; FD_CLOSE sets the event once when the peer closes or resets. A
// socket at end of stream is not polled for FD_READ again, so a wait on it
// runs to its timeout without spinning.
DWORD WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* lphEvents, BOOL fWaitAll,
                               DWORD dwTimeout, BOOL /*fAlertable*/) {
    if (cEvents == 0 || cEvents > WSA_MAXIMUM_WAIT_EVENTS || !lphEvents ||
        (fWaitAll && cEvents > 1)) {
        FailWsa(WSAEINVAL);
        return WSA_WAIT_FAILED;
    }
    // The buffers live on with the thread, so that a wait allocates nothing;
    // the references they hold are dropped when it returns.
    thread_local WaitBuffers buffers;
    WaitBuffers& b = buffers;
    struct Drop {
        WaitBuffers& b;
        ~Drop() {
            b.events.clear();
            b.watched.clear();
        }
    } drop{b};
    std::vector<EventPtr>& events = b.events;
    for (DWORD i = 0; i < cEvents; ++i) {
        EventPtr ev = FindEvent(lphEvents[i]);
        if (!ev) {
            FailKernel(ERROR_INVALID_HANDLE);
            return WSA_WAIT_FAILED;
        }
        events.push_back(std::move(ev));
    }
    std::vector<WatchedSocket>& watched = b.watched;
    {
        SocketTable& t = Sockets();
        std::lock_guard<std::mutex> lk(t.m);
        for (size_t h = 1; h < t.end; ++h) {
            const SocketPtr& sock = t.slots[h];
            if (!sock)
                continue;
            std::lock_guard<std::mutex> slk(sock->m);
            if (!sock->netEvents)
                continue;
            for (DWORD i = 0; i < cEvents; ++i) {
                if (reinterpret_cast<uintptr_t>(lphEvents[i]) == sock->event) {
                    watched.push_back({sock, i, -1});
                    break;
                }
            }
        }
    }
    const bool limited = dwTimeout != WSA_INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(dwTimeout);
    std::vector<posix_sys::PollItem>& items = b.items;
    for (;;) {
        items.clear();
        for (const EventPtr& ev : events)
            items.push_back({ev->fd, posix_sys::kPollIn, 0});
        for (WatchedSocket& w : watched) {
            std::lock_guard<std::mutex> lk(w.sock->m);
            bool forRead = (w.sock->netEvents & FD_READ) && !w.sock->readEnded;
            bool forClose = (w.sock->netEvents & FD_CLOSE) && !w.sock->closeReported;
            w.pollIndex = -1;
            if (forRead || forClose) {
                w.pollIndex = static_cast<int>(items.size());
                // For FD_READ the peer's shutdown is asked for too, so that a
                // plain kPollIn can only mean data waiting.
                short ev =
                    static_cast<short>((forRead ? posix_sys::kPollIn | posix_sys::kPollRdHup : 0) |
                                       (forClose ? posix_sys::kPollRdHup : 0));
                items.push_back({w.sock->fd, ev, 0});
            }
        }
        int waitMs = RemainingMs(limited, deadline);
        int n = posix_sys::Poll(items.data(), items.size(), waitMs);
        if (n == -EINTR)
            continue;
        if (n < 0) {
            FailWsa(WsaError(-n));
            return WSA_WAIT_FAILED;
        }
        DWORD best = cEvents;
        for (DWORD i = 0; i < cEvents && best == cEvents; ++i) {
            if (items[i].revents & posix_sys::kPollIn)
                best = i;
        }
        for (WatchedSocket& w : watched) {
            if (w.pollIndex < 0)
                continue;
            short rev = items[static_cast<size_t>(w.pollIndex)].revents;
            if (!rev)
                continue;
            std::lock_guard<std::mutex> lk(w.sock->m);
            Socket& s = *w.sock;
            bool closed =
                (rev & (posix_sys::kPollHup | posix_sys::kPollErr | posix_sys::kPollRdHup)) != 0;
            const short ended = posix_sys::kPollRdHup | posix_sys::kPollHup | posix_sys::kPollErr;
            if ((s.netEvents & FD_READ) && !s.readEnded && (rev & posix_sys::kPollIn) &&
                !(rev & ended)) {
                // Readable with no end of stream or error: data is waiting.
                best = std::min(best, w.index);
            } else if ((s.netEvents & FD_READ) && !s.readEnded) {
                // Readable means data, end of stream or an error: peek to tell.
                char byte;
                long r =
                    posix_sys::Recv(s.fd, &byte, 1, posix_sys::kMsgPeek | posix_sys::kMsgDontWait);
                if (r > 0) {
                    best = std::min(best, w.index);
                } else if (r == 0 || r != -EAGAIN) {
                    s.readEnded = true;
                    closed = true;
                    if (r < 0 && s.conn == Conn::kConnecting) {
                        s.conn = Conn::kFailed;
                        s.connError = WsaError(static_cast<int>(-r));
                    } else if (r < 0) {
                        s.pendingRecvError = static_cast<int>(-r);
                    }
                }
            }
            if ((s.netEvents & FD_CLOSE) && !s.closeReported && closed) {
                s.closeReported = true;
                events[w.index]->Set();
                best = std::min(best, w.index);
            }
        }
        if (best < cEvents)
            return WSA_WAIT_EVENT_0 + best;
        if (waitMs == 0 || (limited && Clock::now() >= deadline))
            return WSA_WAIT_TIMEOUT;
    }
}

// ---- Kernel ---------------------------------------------------------------------

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// Entries come in byte order of their names; "." and ".." count when the
// pattern matches them, as on Windows. "*.*" matches every name.
HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFileName || !lpFindFileData) {
        FailKernel(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = posix_errors::ToPosixPath(lpFileName);
    if (path.empty()) {
        FailKernel(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto fs = std::make_unique<FindState>();
    size_t slash = path.find_last_of('/');
    std::string pattern;
    if (slash == std::string::npos) {
        fs->dir = ".";
        pattern = path;
    } else {
        fs->dir = slash == 0 ? "/" : path.substr(0, slash);
        pattern = path.substr(slash + 1);
    }
    std::vector<std::string> names;
    int r = posix_sys::ListDirectory(fs->dir.c_str(), &names);
    if (r < 0) {
        FailKernel(r == -ENOENT || r == -ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                 : posix_errors::WindowsError(-r));
        return INVALID_HANDLE_VALUE;
    }
    if (pattern == "*.*")
        pattern = "*";
    std::string fnPattern;  // '[' is no wildcard on Windows
    for (char c : pattern) {
        if (c == '[' || c == ']')
            fnPattern += '\\';
        fnPattern += c;
    }
    std::sort(names.begin(), names.end());
    for (std::string& name : names) {
        if (!pattern.empty() && name.size() < MAX_PATH &&
            posix_sys::WildcardMatch(fnPattern.c_str(), name.c_str())) {
            fs->names.push_back(std::move(name));
        }
    }
    if (!NextFound(fs.get(), lpFindFileData)) {
        FailKernel(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lk(g_findMutex);
    g_finds.insert(fs.get());
    return fs.release();
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFindFileData)
        return FailKernel(ERROR_INVALID_PARAMETER);
    auto* fs = static_cast<FindState*>(hFindFile);
    std::lock_guard<std::mutex> lk(g_findMutex);
    if (!g_finds.count(fs))
        return FailKernel(ERROR_INVALID_HANDLE);
    if (!NextFound(fs, lpFindFileData))
        return FailKernel(ERROR_NO_MORE_FILES);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    auto* fs = static_cast<FindState*>(hFindFile);
    std::lock_guard<std::mutex> lk(g_findMutex);
    if (g_finds.erase(fs) == 0)
        return FailKernel(ERROR_INVALID_HANDLE);
    delete fs;
    return TRUE;
}

// Nothing keeps this system awake; the state is only remembered, per thread.
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
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
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

BOOL DeleteFileA(LPCSTR lpFileName) {
    if (!lpFileName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string path = posix_errors::ToPosixPath(lpFileName);
    int r = posix_sys::Unlink(path.c_str());
    return r < 0 ? FailKernel(posix_errors::WindowsError(-r, path)) : TRUE;
}

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    if (!lpExistingFileName || !lpNewFileName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string from = posix_errors::ToPosixPath(lpExistingFileName);
    std::string to = posix_errors::ToPosixPath(lpNewFileName);
    int r = posix_sys::CopyFile(from.c_str(), to.c_str(), bFailIfExists != FALSE);
    if (r == 0)
        return TRUE;
    if (r == -EEXIST)
        return FailKernel(ERROR_FILE_EXISTS);
    if (r == -ENOENT) {
        posix_sys::FileInfo info;
        bool fromExists = posix_sys::StatPath(from.c_str(), &info) == 0;
        return FailKernel(posix_errors::WindowsError(ENOENT, fromExists ? to : from));
    }
    return FailKernel(posix_errors::WindowsError(-r));
}

// Without MOVEFILE_REPLACE_EXISTING an existing target fails with
// ERROR_ALREADY_EXISTS; other flags are ignored. As on Windows, a source that
// a CFile holds open fails with ERROR_SHARING_VIOLATION and a target held open
// with ERROR_ACCESS_DENIED (CFile never shares deletion).
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!lpExistingFileName || !lpNewFileName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string from = posix_errors::ToPosixPath(lpExistingFileName);
    std::string to = posix_errors::ToPosixPath(lpNewFileName);
    if (file_sharing::HeldOpen(from.c_str()))
        return FailKernel(ERROR_SHARING_VIOLATION);
    if ((dwFlags & MOVEFILE_REPLACE_EXISTING) && file_sharing::HeldOpen(to.c_str()))
        return FailKernel(ERROR_ACCESS_DENIED);
    int r = posix_sys::Rename(from.c_str(), to.c_str(), (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0);
    if (r == 0)
        return TRUE;
    if (r == -ENOENT) {
        posix_sys::FileInfo info;
        bool fromExists = posix_sys::StatPath(from.c_str(), &info) == 0;
        return FailKernel(posix_errors::WindowsError(ENOENT, fromExists ? to : from));
    }
    return FailKernel(posix_errors::WindowsError(-r));
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    if (!lpFileName) {
        FailKernel(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string path = posix_errors::ToPosixPath(lpFileName);
    posix_sys::FileInfo info;
    int r = posix_sys::StatPath(path.c_str(), &info);
    if (r < 0) {
        FailKernel(posix_errors::WindowsError(-r, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    return Attributes(info);
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpAttributes*/) {
    if (!lpPathName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string path = posix_errors::ToPosixPath(lpPathName);
    int r = posix_sys::MakeDirectory(path.c_str());
    if (r == 0)
        return TRUE;
    return FailKernel(r == -ENOENT ? ERROR_PATH_NOT_FOUND : posix_errors::WindowsError(-r));
}

// A variable set to "" gives 0 with GetLastError() == ERROR_SUCCESS.
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
