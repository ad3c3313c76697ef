// The simulated device's request parsing, as a black box: arbitrary bytes
// from a PC on one connection to a simulator of either family that runs in
// this process. Whatever arrives, the device ends the connection once the PC
// has finished sending (it never waits on a half-sent frame after the PC's
// end of data), listens again afterwards, and still answers a proper request.
//
// Input: family (1 byte), then the bytes the PC sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/tempdir.h"
#include "tools/gwsim/simulator.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "gwsim_request_fuzz: %s\n", what);
    abort();
}

const int kPatienceMs = 10000;  // far beyond any answer the device owes

class Connection {
public:
    // A device that has just closed a connection after a reset may still be
    // closing its listener for the reboot: a refused connection is retried.
    Connection(const std::string& address, uint16_t port) {
        sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = inet_addr(address.c_str());
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        for (;;) {
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            if (fd_ < 0)
                Fail("socket");
            if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
                return;
            if (errno != ECONNREFUSED || std::chrono::steady_clock::now() > deadline)
                Fail("connect");
            close(fd_);
            poll(nullptr, 0, 1);
        }
    }
    ~Connection() { close(fd_); }

    // Sends everything, ignoring a device that closed early.
    void Send(const std::vector<uint8_t>& bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            at += size_t(n);
        }
    }
    void EndSending() { shutdown(fd_, SHUT_WR); }

    // Reads until the device closes; false when it does not within the patience.
    bool ReadToEnd(std::vector<uint8_t>* out) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        uint8_t buffer[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return false;
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0)
                continue;
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                return true;  // end of data or reset: closed either way
            if (out)
                out->insert(out->end(), buffer, buffer + n);
        }
    }

private:
    int fd_ = -1;
};

struct Devices {
    zrtest::TempDir dir;
    std::unique_ptr<gwsim::Simulator> zel;
    std::unique_ptr<gwsim::Simulator> mir;
    Devices() {
        gwsim::Options options;
        options.software_dir = dir.path();
        options.incomplete_frame_timeout_ms = 60000;  // only the PC's end may end a frame
        std::string error;
        zel = zrtest::StartSimulator(gwsim::DeviceState::Default(gwsim::Family::ZEL), options,
                                     &error);
        if (!zel)
            Fail(error.c_str());
        mir = zrtest::StartSimulator(gwsim::DeviceState::Default(gwsim::Family::MIR), options,
                                     &error);
        if (!mir)
            Fail(error.c_str());
    }
};

std::vector<uint8_t> SerialNumberRequest(bool zel) {
    return gwsim::EncodeRequest({0,
                                 gwsim::kProtocolVersion,
                                 uint8_t(zel ? 0x01 : 0x11),
                                 0x7FFFFFFE,
                                 zel ? 0x80000000u : 1u,
                                 0,
                                 128,
                                 {}});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Devices devices;
    if (size == 0)
        return 0;
    const bool zel = (data[0] & 1) == 0;
    gwsim::Simulator& sim = zel ? *devices.zel : *devices.mir;
    if (!sim.WaitForListening(true, std::chrono::milliseconds(kPatienceMs))) {
        Fail("device does not listen again");
    }
    {
        Connection c(sim.address(), sim.port());
        c.Send(std::vector<uint8_t>(data + 1, data + size));
        c.EndSending();
        if (!c.ReadToEnd(nullptr))
            Fail("device kept the connection after the PC's end of data");
    }
    // Every 64th input: the device still answers a proper request.
    static unsigned n = 0;
    if (++n % 64 == 0) {
        if (!sim.WaitForListening(true, std::chrono::milliseconds(kPatienceMs))) {
            Fail("device does not listen again");
        }
        Connection c(sim.address(), sim.port());
        c.Send(SerialNumberRequest(zel));
        c.EndSending();
        std::vector<uint8_t> reply;
        if (!c.ReadToEnd(&reply))
            Fail("device kept the connection after a proper request");
        const std::string serial = zel ? "ZEL0012345" : "MIR0004711";
        if (reply.size() != 16 + serial.size() ||
            std::string(reply.begin() + 16, reply.end()) != serial) {
            Fail("device no longer answers a proper request");
        }
        sim.ClearRequests();
    }
    return 0;
}
