// Loopback addresses for tests that run in parallel as separate processes.
//
// Every simulated device in a test has a loopback address of its own, because
// the family ports are fixed. A process takes its addresses from a range
// derived from its process id (127.A.B.C with A from the pid, B.C counting
// up), and checks each by binding the family ports on it first, with
// SO_REUSEADDR, so an address where some other process listens or holds a
// hole is skipped. Nothing here sends traffic outside 127.0.0.0/8.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_LOOPBACK_H
#define ZODARURUVIZI_TESTS_SUPPORT_LOOPBACK_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/gwsim/proxy.h"
#include "tools/gwsim/replay.h"
#include "tools/gwsim/simulator.h"

namespace zrtest {

// The family ports (9191 and 9181) that the address checks bind.
std::vector<uint16_t> FamilyPorts();

// The next address of this process's range on which every port of `ports`
// can be bound. Never returns the same address twice in one process. Throws
// std::runtime_error when no address of the range is free.
std::string NextLoopbackAddress(const std::vector<uint16_t>& ports = FamilyPorts());

// Starts a simulator on the next free loopback address (options.bind_address
// is overwritten), trying further addresses when binding fails. Null, with
// the reason in *error, when it could not be started.
std::unique_ptr<gwsim::Simulator> StartSimulator(const gwsim::DeviceState& state,
                                                 gwsim::Options options = gwsim::Options(),
                                                 std::string* error = nullptr);

// A recording proxy in front of `sim` (recording to `path`; none when empty),
// and a replay of `session`, each on the next free loopback address. Null,
// with the reason in *error, when it could not be started.
std::unique_ptr<gwsim::Proxy> StartProxy(const gwsim::Simulator& sim, const std::string& path,
                                         std::string* error);
std::unique_ptr<gwsim::Replayer> StartReplay(const gwsim::Session& session, bool timing,
                                             std::string* error);

// An address where nothing can listen: sockets bound to it on the given ports
// (without SO_REUSEADDR) but not listening, so that connections to it are
// refused and no other test can start a device there. Held until destroyed.
class AddressHole {
public:
    explicit AddressHole(const std::vector<uint16_t>& ports = FamilyPorts());
    ~AddressHole();
    AddressHole(const AddressHole&) = delete;
    AddressHole& operator=(const AddressHole&) = delete;

    const std::string& address() const { return address_; }

private:
    struct Sockets;
    std::string address_;
    std::unique_ptr<Sockets> sockets_;
};

}  // namespace zrtest

#endif  // ZODARURUVIZI_TESTS_SUPPORT_LOOPBACK_H
