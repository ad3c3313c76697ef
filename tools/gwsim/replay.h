// gwsim replaying a recorded session: it listens as the recorded device did
// and answers each request with what the device answered to the same request
// (kind, code, qualifier and payload), taking the recorded exchanges in their
// order first and by that key otherwise. The reply keeps the recorded bytes,
// segment sizes and gaps (unless timing is off) and the device's close after
// it; only sequence numbers are rewritten so that the live client recognises
// its reply (README.md, "Replaying a session").
#ifndef ZODARURUVIZI_TOOLS_GWSIM_REPLAY_H
#define ZODARURUVIZI_TOOLS_GWSIM_REPLAY_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/gwsim/recording.h"
#include "tools/gwsim/simulator.h"

namespace gwsim {

// Verbose output: every request and the exchange that answers it. The log
// also takes the reports (a request the recording lacks).
struct ReplayOptions : ServerOptions {
    bool timing = true;  // false: every reply at once, with no gaps
    // A frame left incomplete for this long ends the connection, as in the simulator.
    int incomplete_frame_timeout_ms = 5000;
};

// What answered one live request.
struct ReplayMatch {
    RecordedRequest request;  // the live request
    size_t exchange = 0;      // "n" of the recorded exchange; 0 when none matched
    bool in_order = false;    // it was the next exchange in recorded order
};

class Replayer : public Service {
public:
    Replayer(Session session, ReplayOptions options = ReplayOptions());

    bool Start(std::string* error = nullptr);
    Family family() const;
    size_t RequestCount() const;
    std::vector<ReplayMatch> Matches() const;        // every live request, in order
    std::vector<RecordedRequest> Unmatched() const;  // those the recording lacks

    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout);

    // The reply the exchange gives to a live request with `live_sequence`:
    // every frame answering the recorded request carries the live sequence;
    // a frame answering some other request carries `earlier(recorded
    // sequence)`, which must differ from the live one. Exposed for tests.
    // Raw pieces that start with a frame header (a frame cut short) are
    // treated alike.
    static std::vector<uint8_t> ReplyBytes(const std::vector<ReplyPiece>& pieces,
                                           uint32_t recorded_sequence, uint32_t live_sequence,
                                           const std::function<uint32_t(uint32_t)>& earlier);

    class Impl;

private:
    Impl* const impl_;  // the server
};

}  // namespace gwsim

#endif  // ZODARURUVIZI_TOOLS_GWSIM_REPLAY_H
