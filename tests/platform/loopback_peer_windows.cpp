// The loopback peers on Windows Sockets; the test's own start-up covers them.
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

#include "loopback_peer.h"

namespace peer {
namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "loopback peer: %s: error %d\n", what, WSAGetLastError());
    std::abort();
}

SOCKET S(int fd) {
    return static_cast<SOCKET>(fd);
}

// Waits up to timeoutMs for fd to become readable.
bool Readable(int fd, int timeoutMs) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(S(fd), &r);
    TIMEVAL tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &r, nullptr, nullptr, &tv) == 1;
}

int BoundSocket(uint16_t* port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        Die("socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        Die("bind");
    int len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        Die("getsockname");
    *port = ntohs(sa.sin_port);
    return static_cast<int>(s);
}

}  // namespace

int Listen(uint16_t* port) {
    int fd = BoundSocket(port);
    if (::listen(S(fd), 16) != 0)
        Die("listen");
    return fd;
}

int HoldUnlistenedPort(uint16_t* port) {
    return BoundSocket(port);
}

int Accept(int listenFd, int timeoutMs) {
    if (!Readable(listenFd, timeoutMs))
        return -1;
    SOCKET s = ::accept(S(listenFd), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        Die("accept");
    return static_cast<int>(s);
}

void SendAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        int n = ::send(S(fd), p, static_cast<int>(len), 0);
        if (n < 0)
            Die("send");
        p += n;
        len -= static_cast<size_t>(n);
    }
}

size_t RecvUpTo(int fd, void* buf, size_t len, int timeoutMs) {
    size_t done = 0;
    while (done < len && Readable(fd, timeoutMs)) {
        int n = ::recv(S(fd), static_cast<char*>(buf) + done, static_cast<int>(len - done), 0);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

void Close(int fd) {
    if (fd >= 0)
        ::closesocket(S(fd));
}

void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(S(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    ::closesocket(S(fd));
}

}  // namespace peer
