#include "tests/support/loopback.h"

#include <atomic>
#include <stdexcept>

#include <asio.hpp>

#include "tests/support/processenv.h"

namespace zrtest {

namespace {

using asio::ip::tcp;

// Addresses per process: B.C with B in 0..255 and C in 1..254.
const unsigned kAddressesPerProcess = 256 * 254;
const int kStartAttempts = 64;

std::atomic<unsigned> g_next{0};

// The n-th address of this process's range, or empty when the range is used up.
std::string AddressNumber(unsigned n) {
    if (n >= kAddressesPerProcess)
        return std::string();
    unsigned pid = CurrentProcessId();
    unsigned a = 1 + pid % 254;
    unsigned b = n / 254;
    unsigned c = 1 + n % 254;
    return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

// Binds every port on the address; with `reuse` false the sockets are kept
// in *held (for a hole), otherwise they are closed again.
bool BindAll(asio::io_context& io, const std::string& address, const std::vector<uint16_t>& ports,
             bool reuse, std::vector<std::unique_ptr<tcp::socket>>* held) {
    asio::error_code ec;
    asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec)
        return false;
    std::vector<std::unique_ptr<tcp::socket>> sockets;
    for (uint16_t port : ports) {
        auto s = std::make_unique<tcp::socket>(io);
        s->open(tcp::v4(), ec);
        if (!ec && reuse)
            s->set_option(tcp::socket::reuse_address(true), ec);
        if (!ec)
            s->bind(tcp::endpoint(ip, port), ec);
        if (ec)
            return false;
        sockets.push_back(std::move(s));
    }
    if (held)
        *held = std::move(sockets);
    return true;
}

}  // namespace

std::vector<uint16_t> FamilyPorts() {
    return {9191, 9181};
}

std::string NextLoopbackAddress(const std::vector<uint16_t>& ports) {
    asio::io_context io;
    for (;;) {
        std::string address = AddressNumber(g_next++);
        if (address.empty())
            throw std::runtime_error("no free loopback address left");
        if (BindAll(io, address, ports, true, nullptr))
            return address;
    }
}

std::unique_ptr<gwsim::Simulator> StartSimulator(const gwsim::DeviceState& state,
                                                 gwsim::Options options, std::string* error) {
    uint16_t port = options.port != 0 ? options.port : gwsim::DefaultPort(state.family);
    std::string why = "no attempt made";
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        try {
            options.bind_address = NextLoopbackAddress({port});
        } catch (const std::exception& e) {
            why = e.what();
            break;
        }
        auto sim = std::make_unique<gwsim::Simulator>(state, options);
        if (sim->Start(&why))
            return sim;
    }
    if (error)
        *error = why;
    return nullptr;
}

struct AddressHole::Sockets {
    asio::io_context io;
    std::vector<std::unique_ptr<tcp::socket>> held;
};

AddressHole::AddressHole(const std::vector<uint16_t>& ports)
    : sockets_(std::make_unique<Sockets>()) {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        std::string address = NextLoopbackAddress(ports);
        if (BindAll(sockets_->io, address, ports, false, &sockets_->held)) {
            address_ = address;
            return;
        }
    }
    throw std::runtime_error("no loopback address could be held");
}

AddressHole::~AddressHole() = default;

std::unique_ptr<gwsim::Proxy> StartProxy(const gwsim::Simulator& sim, const std::string& path,
                                         std::string* error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        gwsim::ProxyOptions o;
        o.family = sim.family();
        o.bind_address = NextLoopbackAddress();
        o.device_address = sim.address();
        o.device_port = sim.port();
        o.record_path = path;
        auto proxy = std::make_unique<gwsim::Proxy>(o);
        if (proxy->Start(error))
            return proxy;
    }
    return nullptr;
}

std::unique_ptr<gwsim::Replayer> StartReplay(const gwsim::Session& session, bool timing,
                                             std::string* error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        gwsim::ReplayOptions o;
        o.bind_address = NextLoopbackAddress();
        o.timing = timing;
        auto replay = std::make_unique<gwsim::Replayer>(session, o);
        if (replay->Start(error))
            return replay;
    }
    return nullptr;
}

}  // namespace zrtest
