// The scan's connection attempts on POSIX: non-blocking connect and poll.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tools/gwtool/scan.h"

namespace gwtool {
namespace scan_os {

// Every attempt open at once takes a descriptor: the soft limit is raised
// towards the hard one when it leaves too few.
Sockets::Sockets() {
    rlimit limit{};
    const rlim_t wanted = 4 * kMaxOpenAttempts;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}
Sockets::~Sockets() {}

Attempt StartConnect(uint32_t address, uint16_t port) {
    Attempt a;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        a.state = State::Failed;
        return a;
    }
    a.socket = fd;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
        a.state = State::Accepted;
    else if (errno != EINPROGRESS)
        a.state = State::Failed;
    return a;
}

void WaitAttempts(std::vector<Attempt*>& pending, std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    for (Attempt* a : pending)
        fds.push_back({static_cast<int>(a->socket), POLLOUT, 0});
    if (poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) <= 0)
        return;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        int error = 0;
        socklen_t size = sizeof error;
        const bool ok =
            getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        pending[i]->state = ok ? State::Accepted : State::Failed;
    }
}

void CloseAttempt(Attempt& attempt) {
    if (attempt.socket >= 0)
        close(static_cast<int>(attempt.socket));
    attempt.socket = -1;
}

}  // namespace scan_os
}  // namespace gwtool
