#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace peer {
namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "loopback peer: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

int BoundSocket(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Die("socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
        Die("bind");
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) < 0)
        Die("getsockname");
    *port = ntohs(sa.sin_port);
    return fd;
}

}  // namespace

int Listen(uint16_t* port) {
    int fd = BoundSocket(port);
    if (::listen(fd, 16) < 0)
        Die("listen");
    return fd;
}

int HoldUnlistenedPort(uint16_t* port) {
    return BoundSocket(port);
}

int Accept(int listenFd, int timeoutMs) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return -1;
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        Die("accept");
    return fd;
}

void SendAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0)
            Die("send");
        p += n;
        len -= static_cast<size_t>(n);
    }
}

size_t RecvUpTo(int fd, void* buf, size_t len, int timeoutMs) {
    size_t done = 0;
    while (done < len) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        ssize_t n = ::recv(fd, static_cast<char*>(buf) + done, len - done, 0);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

void Close(int fd) {
    ::close(fd);
}

void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

}  // namespace peer
