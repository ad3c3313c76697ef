#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/peer.h"

namespace peer {

static SOCKET S(int fd) {
    return static_cast<SOCKET>(fd);
}

static int Check(long long r, const char* what) {
    if (r < 0 || r == static_cast<long long>(INVALID_SOCKET)) {
        std::fprintf(stderr, "loopback peer: %s: error %d\n", what, WSAGetLastError());
        std::abort();
    }
    return static_cast<int>(r);
}

static bool Readable(int fd, int timeoutMs) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(S(fd), &r);
    TIMEVAL tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &r, nullptr, nullptr, &tv) == 1;
}

int Listen(uint16_t* port, bool listen) {
    int fd = Check(static_cast<long long>(::socket(AF_INET, SOCK_STREAM, 0)), "socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    Check(::bind(S(fd), reinterpret_cast<sockaddr*>(&sa), sizeof sa), "bind");
    Check(::getsockname(S(fd), reinterpret_cast<sockaddr*>(&sa), &len), "getsockname");
    *port = ntohs(sa.sin_port);
    if (listen)
        Check(::listen(S(fd), 16), "listen");
    return fd;
}

int Accept(int listenFd, int timeoutMs) {
    if (!Readable(listenFd, timeoutMs))
        return -1;
    return Check(static_cast<long long>(::accept(S(listenFd), nullptr, nullptr)), "accept");
}

void SendAll(int fd, const void* data, size_t len) {
    for (size_t done = 0; done < len;)
        done += Check(
            ::send(S(fd), static_cast<const char*>(data) + done, static_cast<int>(len - done), 0),
            "send");
}

size_t RecvUpTo(int fd, void* buf, size_t len, int timeoutMs, bool* ended) {
    size_t done = 0;
    int n = 1;
    while (done < len && Readable(fd, timeoutMs) &&
           (n = ::recv(S(fd), static_cast<char*>(buf) + done, static_cast<int>(len - done), 0)) > 0)
        done += static_cast<size_t>(n);
    if (ended)
        *ended = n <= 0;
    return done;
}

void Close(int fd, bool reset) {
    linger l{1, 0};
    if (reset)
        ::setsockopt(S(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    if (fd >= 0)
        ::closesocket(S(fd));
}

}  // namespace peer
