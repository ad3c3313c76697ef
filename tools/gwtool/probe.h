// gwtool: one connection attempt of its own, to say why a device could not be
// reached.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_PROBE_H
#define ZODARURUVIZI_TOOLS_GWTOOL_PROBE_H

#include <chrono>
#include <cstdint>
#include <string>

namespace gwtool {

enum class Reach {
    Accepted,  // the connection was accepted
    Refused,   // actively refused
    Silent,    // neither accepted nor refused within the time given
    Failed,    // any other error (then *detail says which)
};

// Connects to address:port over TCP (IPv4 dotted text) and closes again.
Reach ProbeConnection(const std::string& address, uint16_t port, std::chrono::milliseconds timeout,
                      std::string* detail);

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_PROBE_H
