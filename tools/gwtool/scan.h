// gwtool: which addresses have a gateway listening, found by plain TCP
// connection attempts to the family ports (the library is not used).
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_SCAN_H
#define ZODARURUVIZI_TOOLS_GWTOOL_SCAN_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/gwtool/targets.h"

namespace gwtool {

// The most connection attempts open at once.
const size_t kMaxOpenAttempts = 256;

struct ScanHit {
    std::string address;
    std::vector<uint16_t> ports;  // the family ports that accepted, ZEL's first
    std::string family;           // "ZEL" or "MIR", as the first port suggests
};

// Tries every address on both family ports, at most kMaxOpenAttempts at once,
// each attempt given `timeout`. Hits in address order.
std::vector<ScanHit> Scan(const std::vector<uint32_t>& addresses,
                          std::chrono::milliseconds timeout);

std::string ScanText(const std::vector<ScanHit>& hits, size_t tried);
nlohmann::json ScanJson(const std::vector<ScanHit>& hits);

// ---- the system's part (scan_posix.cpp, scan_windows.cpp) ----

namespace scan_os {

// Sockets for the attempts; while alive the system's socket layer is ready.
class Sockets {
public:
    Sockets();
    ~Sockets();
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;
};

enum class State { Pending, Accepted, Failed };

struct Attempt {
    intptr_t socket = -1;
    State state = State::Pending;
};

// Starts a non-blocking connection (host-order address); Failed when it
// could not start or was refused at once.
Attempt StartConnect(uint32_t address, uint16_t port);
// Waits up to `timeout` for any pending attempt to finish and updates their states.
void WaitAttempts(std::vector<Attempt*>& pending, std::chrono::milliseconds timeout);
void CloseAttempt(Attempt& attempt);

}  // namespace scan_os

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_SCAN_H
