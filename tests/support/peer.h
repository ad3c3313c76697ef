// A loopback TCP peer for the socket and transport tests, on the system's own
// sockets (on Windows the test's start-up covers them). Plain types only, so
// that files using the Winsock names can include it. Ports are in host byte
// order; an unexpected system error aborts the test process.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_PEER_H
#define ZODARURUVIZI_TESTS_SUPPORT_PEER_H

#include <stddef.h>
#include <stdint.h>

namespace peer {

// A socket on 127.0.0.1 at an ephemeral port; without listen, connections
// to *port are refused.
int Listen(uint16_t* port, bool listen = true);
// The next connection, or -1 when none comes within timeoutMs.
int Accept(int listenFd, int timeoutMs);
void SendAll(int fd, const void* data, size_t len);
// Reads until len bytes, end of stream or timeoutMs; the number of bytes read.
// *ended tells whether the stream ended (or was reset).
size_t RecvUpTo(int fd, void* buf, size_t len, int timeoutMs, bool* ended = nullptr);
// True when the other side closes within timeoutMs (data is discarded).
inline bool WaitClosed(int fd, int timeoutMs) {
    char buf[4096];
    bool ended = false;
    while (RecvUpTo(fd, buf, sizeof buf, timeoutMs, &ended) == sizeof buf && !ended) {
    }
    return ended;
}
// Closes; with reset, by a reset instead of an orderly end of stream.
void Close(int fd, bool reset = false);

}  // namespace peer

#endif
