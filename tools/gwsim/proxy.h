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

struct ProxyOptions {
    Family family = Family::ZEL;
    std::string bind_address = "127.0.0.1";
    uint16_t port = 0;                            // 0: the family's port
    std::string device_address;                   // IPv4 or IPv6 address of the device
    uint16_t device_port = 0;                     // 0: the family's port
    std::string record_path;                      // empty: relay without recording
    bool verbose = false;                         // print connections and closes
    std::function<void(const std::string&)> log;  // verbose output; default stderr
};

class Proxy {
public:
    explicit Proxy(ProxyOptions options);
    ~Proxy();  // stops
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    // Opens the recording and the listener and starts relaying on its own
    // thread; false with the reason in *error.
    bool Start(std::string* error = nullptr);
    // Ends every connection, writes the end line and closes the recording. Idempotent.
    void Stop();

    const std::string& address() const;
    uint16_t port() const;

    size_t ConnectionCount() const;  // accepted so far
    size_t OpenCount() const;        // relaying now
    size_t RequestCount() const;     // requests recorded (0 without a recording)
    std::vector<RecordedRequest> Requests() const;
    // False when writing the recording failed (reason in *error).
    bool RecordingHealthy(std::string* error = nullptr) const;

    // Waits, without sleeping, until the predicate holds (evaluated whenever
    // a connection opens or ends, or a request passes); true when it did.
    bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    // Until every accepted connection has ended.
    bool WaitForIdle(std::chrono::milliseconds timeout);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace gwsim

#endif  // ZODARURUVIZI_TOOLS_GWSIM_PROXY_H
