// The Windows Sockets calls of winapi.h on Linux: start-up counting, sockets,
// select, send and receive, options and addresses.
//
// Sockets are handles into a table (posix_sockets.h); each maps to a descriptor
// and the state Windows keeps but Linux does not (connection outcome, buffer
// sizes as set, event association). The descriptor of a socket closes when the
// last call using it returns, so a handle closed by one thread never lets
// another thread's call reach a reused descriptor.
#include "platform/winapi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix_errors.h"
#include "platform/posix_sockets.h"
#include "platform/posix_sys.h"

using namespace posix_sockets;
using posix_errors::WsaError;

namespace {

constexpr int kWsaESocktNoSupport = 10044;

}  // namespace

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
    return static_cast<int>(GetLastError());
}

void WSASetLastError(int iError) {
    SetLastError(static_cast<DWORD>(iError));
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
                    // Linux finds a socket never connected writable; Windows does not.
                    if (e.wantWrite && e.sock->conn != Conn::kIdle)
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
            return FailWsa(posix_errors::kWsaENoProtoOpt);
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
            return FailWsa(posix_errors::kWsaENoProtoOpt);
    }
    if (r < 0)
        return FailWsa(WsaError(-r));
    std::memcpy(optval, &v, sizeof v);
    *optlen = sizeof v;
    return 0;
}

namespace {

// The socket of a send or receive whose length and buffer are valid; null,
// with the error set, otherwise.
SocketPtr TransferSocket(SOCKET s, const void* buf, int len) {
    SocketPtr sock = Lookup(s);
    if (sock && (len < 0 || (!buf && len > 0))) {
        FailWsa(len < 0 ? WSAEINVAL : WSAEFAULT);
        return nullptr;
    }
    return sock;
}

// What send and recv return for the system call's result.
int Transferred(long n) {
    return n < 0 ? FailWsa(WsaError(static_cast<int>(-n))) : static_cast<int>(n);
}

}  // namespace

// Never raises SIGPIPE: a send to a closed peer fails with WSAECONNRESET.
int send(SOCKET s, const char* buf, int len, int flags) {
    SocketPtr sock = TransferSocket(s, buf, len);
    if (!sock)
        return SOCKET_ERROR;
    {
        std::lock_guard<std::mutex> lk(sock->m);
        if (sock->sendShut)
            return FailWsa(WSAESHUTDOWN);
        SettleConnect(*sock);
        if (sock->conn != Conn::kConnected)
            return FailWsa(WSAENOTCONN);
    }
    return Transferred(posix_sys::Send(sock->fd, buf, static_cast<size_t>(len),
                                       flags & (posix_sys::kMsgOob | posix_sys::kMsgDontRoute)));
}

int recv(SOCKET s, char* buf, int len, int flags) {
    SocketPtr sock = TransferSocket(s, buf, len);
    if (!sock)
        return SOCKET_ERROR;
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
    return Transferred(posix_sys::Recv(sock->fd, buf, static_cast<size_t>(len),
                                       flags & (posix_sys::kMsgOob | posix_sys::kMsgPeek)));
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

// The forms Windows documents: "a.b.c.d", "a.b.c", "a.b" and "a", the last
// part filling the bytes left; each part decimal, octal after a leading 0 or
// hexadecimal after 0x. A space ends the address and the rest is ignored; " "
// alone gives 0 as documented. No signs; "255.255.255.255" gives INADDR_NONE
// as on Windows.
unsigned long inet_addr(const char* cp) {
    if (!cp || !*cp)
        return INADDR_NONE;
    if (std::strcmp(cp, " ") == 0)
        return 0;
    uint32_t parts[4];
    int count = 0;
    for (;;) {
        unsigned base = 10;
        if (*cp == '0') {
            base = (cp[1] == 'x' || cp[1] == 'X') ? 16 : 8;
            cp += base == 16 ? 2 : 0;
        }
        uint64_t value = 0;
        int digits = 0;
        for (;; ++cp, ++digits) {
            const char c = *cp;
            unsigned d = c >= '0' && c <= '9'   ? unsigned(c - '0')
                         : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                : 99;
            if (d >= base)
                break;
            value = value * base + d;
            if (value > UINT32_MAX)
                return INADDR_NONE;
        }
        if (digits == 0 || count == 4)
            return INADDR_NONE;
        parts[count++] = static_cast<uint32_t>(value);
        if (*cp == '\0' || *cp == ' ')
            break;
        if (*cp++ != '.')
            return INADDR_NONE;
    }
    uint32_t addr = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 255)
            return INADDR_NONE;
        addr |= parts[i] << (24 - 8 * i);
    }
    const uint32_t last = parts[count - 1];
    if (count > 1 && last >> (8 * (5 - count)) != 0)
        return INADDR_NONE;
    return htonl(addr | last);
}
