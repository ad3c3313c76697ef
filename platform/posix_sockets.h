// Sockets and event objects of the Linux layer: the state Windows keeps but
// Linux does not, shared by the Windows Sockets calls and the event waits.
// Internal to platform/.
#ifndef ZODARURUVIZI_PLATFORM_POSIX_SOCKETS_H
#define ZODARURUVIZI_PLATFORM_POSIX_SOCKETS_H

#include <stdint.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/posix_errors.h"
#include "platform/posix_sys.h"
#include "platform/winapi.h"

namespace posix_sockets {

using posix_errors::FailWsa;
using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline for poll: -1 without a deadline.
inline int RemainingMs(bool limited, Clock::time_point deadline) {
    if (!limited)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    // Round up so that a wait never ends a fraction of a millisecond early.
    return static_cast<int>(std::min<long long>(left.count() + 1, INT_MAX));
}

// ---- Sockets ----

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

inline SocketTable& Sockets() {
    static SocketTable* table = new SocketTable;  // outlives static destruction
    return *table;
}

inline bool CheckStarted() {
    SocketTable& t = Sockets();
    std::lock_guard<std::mutex> lk(t.m);
    if (t.startups > 0)
        return true;
    FailWsa(WSANOTINITIALISED);
    return false;
}

// The socket of a handle; null with the WSA error set when there is none.
inline SocketPtr Lookup(SOCKET s) {
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
inline void Release(SocketPtr sock) {
    if (sock.use_count() > 1)
        posix_sys::Shutdown(sock->fd, 2);
}

// Settles a connection in progress without waiting. Caller holds sock.m.
inline void SettleConnect(Socket& sock) {
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

inline bool IsConnectOutcome(int err) {
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET;
}

// ---- Events ----

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

inline EventTable& Events() {
    static EventTable* table = new EventTable;
    return *table;
}

inline EventPtr FindEvent(WSAEVENT h) {
    EventTable& t = Events();
    std::lock_guard<std::mutex> lk(t.m);
    auto it = t.events.find(reinterpret_cast<uintptr_t>(h));
    return it == t.events.end() ? nullptr : it->second;
}

}  // namespace posix_sockets

#endif
