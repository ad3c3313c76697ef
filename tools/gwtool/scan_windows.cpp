// The scan's connection attempts on Windows: non-blocking connect and select
// over at most 256 sockets.
#define FD_SETSIZE 256
#include <winsock2.h>

#include "tools/gwtool/scan.h"

namespace gwtool {
namespace scan_os {

Sockets::Sockets() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}
Sockets::~Sockets() {
    WSACleanup();
}

Attempt StartConnect(uint32_t address, uint16_t port) {
    Attempt a;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        a.state = State::Failed;
        return a;
    }
    a.socket = static_cast<intptr_t>(s);
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
        a.state = State::Accepted;
    else if (WSAGetLastError() != WSAEWOULDBLOCK)
        a.state = State::Failed;
    return a;
}

void WaitAttempts(std::vector<Attempt*>& pending, std::chrono::milliseconds timeout) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (size_t i = 0; i < pending.size() && i < FD_SETSIZE; ++i) {
        FD_SET(static_cast<SOCKET>(pending[i]->socket), &writable);
        FD_SET(static_cast<SOCKET>(pending[i]->socket), &failed);
    }
    timeval tv;
    tv.tv_sec = static_cast<long>(timeout.count() / 1000);
    tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
    if (select(0, nullptr, &writable, &failed, &tv) <= 0)
        return;
    for (Attempt* a : pending) {
        const SOCKET s = static_cast<SOCKET>(a->socket);
        if (FD_ISSET(s, &writable))
            a->state = State::Accepted;
        else if (FD_ISSET(s, &failed))
            a->state = State::Failed;
    }
}

void CloseAttempt(Attempt& attempt) {
    if (attempt.socket != -1)
        closesocket(static_cast<SOCKET>(attempt.socket));
    attempt.socket = -1;
}

}  // namespace scan_os
}  // namespace gwtool
