// The floor client and plain file calls (see floor.h). This translation unit
// uses the C library's socket headers and must never include platform/winapi.h.
#include "bench/floor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace benchfloor {

namespace {

// The floor keeps its own few lines of framing instead of gwsim's wire
// module: a bare client with nothing between the call and the socket is what
// makes it a floor.
constexpr size_t kRequestHeader = 24;
constexpr size_t kReplyHeader = 16;

void Put32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t Get32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

double Seconds(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

}  // namespace

Client::~Client() {
    Close();
}

bool Client::Connect(const std::string& address, uint16_t port) {
    Close();
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
        return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd_ < 0)
        return false;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Close();
        return false;
    }
    return true;
}

long Client::Exchange(uint8_t kind, uint32_t code, uint32_t qualifier, uint32_t room, void* data,
                      size_t dataRoom, uint32_t* status) {
    unsigned char request[kRequestHeader] = {0x47, 0x57, 1, kind};
    if (++sequence_ == 0)
        sequence_ = 1;
    Put32(request + 4, sequence_);
    Put32(request + 8, code);
    Put32(request + 12, qualifier);
    Put32(request + 16, room);
    Put32(request + 20, 0);
    if (::send(fd_, request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request))
        return -1;

    size_t have = 0;
    size_t need = kReplyHeader;
    while (have < need) {
        ssize_t n = ::recv(fd_, buffer_.data() + have, buffer_.size() - have, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return -1;
        }
        have += size_t(n);
        if (need == kReplyHeader && have >= kReplyHeader) {
            need = kReplyHeader + Get32(buffer_.data() + 12);
            if (need > buffer_.size())
                return -1;
        }
    }
    const size_t length = need - kReplyHeader;
    if (status)
        *status = Get32(buffer_.data() + 8);
    if (data)
        std::memcpy(data, buffer_.data() + kReplyHeader, std::min(length, dataRoom));
    return long(length);
}

void Client::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    content->clear();
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        content->append(chunk, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool RewriteFile(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "r+b");
    if (!f)
        return false;
    struct stat st;
    if (::fstat(fileno(f), &st) != 0) {
        std::fclose(f);
        return false;
    }
    std::string old(size_t(st.st_size), '\0');
    bool ok = std::fread(&old[0], 1, old.size(), f) == old.size() &&
              std::fseek(f, 0, SEEK_SET) == 0 &&
              std::fwrite(content.data(), 1, content.size(), f) == content.size();
    if (ok && content.size() < old.size()) {
        ok = std::fflush(f) == 0 && ::ftruncate(fileno(f), off_t(content.size())) == 0;
    }
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool ReadOnlyFloor(const std::string& path, std::string* content) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok) {
        // Fresh memory that is not cleared first, as a reader of the whole file needs.
        std::unique_ptr<char[]> buffer(new char[size_t(st.st_size) + 1]);
        ok = ::read(fd, buffer.get(), size_t(st.st_size)) == ssize_t(st.st_size);
        if (content)
            content->assign(buffer.get(), size_t(st.st_size));
    }
    return ::close(fd) == 0 && ok;
}

bool DurableReplaceFloor(const std::string& path, const std::string& content) {
    if (!ReadOnlyFloor(path, nullptr))
        return false;
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, content.data(), content.size()) == ssize_t(content.size()) &&
              ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0)
        return false;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    ok = ::fdatasync(dirFd) == 0;
    return ::close(dirFd) == 0 && ok;
}

double ThreadCpuSeconds() {
    return Seconds(CLOCK_THREAD_CPUTIME_ID);
}

double ProcessCpuSeconds() {
    return Seconds(CLOCK_PROCESS_CPUTIME_ID);
}

bool RunOnCpu(int cpu) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

}  // namespace benchfloor
