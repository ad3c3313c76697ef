#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/peer.h"

namespace peer {

static int Check(int r, const char* what) {
    if (r < 0) {
        std::fprintf(stderr, "loopback peer: %s: %s\n", what, std::strerror(errno));
        std::abort();
    }
    return r;
}

static bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

int Listen(uint16_t* port, bool listen) {
    int fd = Check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    Check(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), "bind");
    Check(::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), "getsockname");
    *port = ntohs(sa.sin_port);
    if (listen)
        Check(::listen(fd, 16), "listen");
    return fd;
}

int Accept(int listenFd, int timeoutMs) {
    if (!Readable(listenFd, timeoutMs))
        return -1;
    return Check(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC), "accept");
}

void SendAll(int fd, const void* data, size_t len) {
    for (size_t done = 0; done < len;)
        done += Check(::send(fd, static_cast<const char*>(data) + done, len - done, MSG_NOSIGNAL),
                      "send");
}

size_t RecvUpTo(int fd, void* buf, size_t len, int timeoutMs, bool* ended) {
    size_t done = 0;
    ssize_t n = 1;
    while (done < len && Readable(fd, timeoutMs) &&
           (n = ::recv(fd, static_cast<char*>(buf) + done, len - done, 0)) > 0)
        done += static_cast<size_t>(n);
    if (ended)
        *ended = n <= 0;
    return done;
}

void Close(int fd, bool reset) {
    linger l{1, 0};
    if (reset)
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

}  // namespace peer
