// The Windows event objects of winapi.h on Linux and the waits on them: an
// event is a counter descriptor, so one poll waits for events and sockets.
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
using posix_errors::FailKernel;
using posix_errors::WsaError;

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
