// Loopback TCP peers for the platform tests, on the C library's sockets.
// Plain types only, so that test files using the Winsock names can include it.
// Ports are in host byte order; every function aborts the test process on an
// unexpected system error.
#ifndef ZODARURUVIZI_TESTS_PLATFORM_LOOPBACK_PEER_H
#define ZODARURUVIZI_TESTS_PLATFORM_LOOPBACK_PEER_H

#include <stddef.h>
#include <stdint.h>

namespace peer {

// A listener on 127.0.0.1 at an ephemeral port.
int Listen(uint16_t* port);
// A socket bound on 127.0.0.1 but not listening: connections to *port are refused.
int HoldUnlistenedPort(uint16_t* port);
// The next connection, or -1 when none comes within timeoutMs.
int Accept(int listenFd, int timeoutMs);
void SendAll(int fd, const void* data, size_t len);
// Reads until len bytes, end of stream or timeoutMs; the number of bytes read.
size_t RecvUpTo(int fd, void* buf, size_t len, int timeoutMs);
void Close(int fd);
// Closes with a reset instead of an orderly end of stream.
void Reset(int fd);

}  // namespace peer

#endif
