// gwsim as a recording proxy: it listens where a simulated device would, and
// for each connection it accepts it connects to a real device (or anything
// that speaks the device's protocol), relays every byte unchanged in both
// directions and, when given a file, records the session there as it goes
// (recording.h).
#ifndef ZODARURUVIZI_TOOLS_GWSIM_PROXY_H
#define ZODARURUVIZI_TOOLS_GWSIM_PROXY_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/gwsim/recording.h"
#include "tools/gwsim/simulator.h"

namespace gwsim {

struct ProxyOptions : ServerOptions {
    Family family = Family::ZEL;
    std::string device_address;  // IPv4 or IPv6 address of the device
    uint16_t device_port = 0;    // 0: the family's port
    std::string record_path;     // empty: relay without recording
};

// Stop also writes the end line and closes the recording.
class Proxy : public Service {
public:
    explicit Proxy(ProxyOptions options);

    // Opens the recording and the listener and starts relaying on its own
    // thread; false with the reason in *error.
    bool Start(std::string* error = nullptr);

    size_t OpenCount() const;     // relaying now
    size_t RequestCount() const;  // requests recorded (0 without a recording)
    std::vector<RecordedRequest> Requests() const;
    // False when writing the recording failed (reason in *error).
    bool RecordingHealthy(std::string* error = nullptr) const;

    // WaitUntil's predicate is evaluated whenever a connection opens or
    // ends, or a request passes. Until every accepted connection has ended.
    bool WaitForIdle(std::chrono::milliseconds timeout);

    class Impl;

private:
    Impl* const impl_;  // the server
};

}  // namespace gwsim

#endif  // ZODARURUVIZI_TOOLS_GWSIM_PROXY_H
