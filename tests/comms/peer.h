// A scripted TCP peer on loopback for transport tests: it accepts one
// connection at a time and runs the test's script on it.
#ifndef ZODARURUVIZI_TESTS_COMMS_PEER_H
#define ZODARURUVIZI_TESTS_COMMS_PEER_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zrtest {

struct PeerRequest {
    uint8_t kind = 0;
    uint32_t sequence = 0;
    uint32_t code = 0;
    bool ok = false;  // false when the connection ended before a whole request
};

// What a script can do with the accepted connection. Every call blocks.
class PeerConnection {
public:
    virtual ~PeerConnection() = default;
    virtual PeerRequest ReadRequest() = 0;
    virtual void Send(const std::vector<char>& bytes) = 0;
    virtual void Pause(int ms) = 0;
    virtual void Close() = 0;
    // True when the other side closed the connection within the timeout.
    virtual bool WaitForClose(int timeoutMs) = 0;
};

// A reply frame as a device sends it.
std::vector<char> ReplyFrame(uint8_t kind, uint32_t sequence, uint32_t status,
                             const std::string& data, uint32_t declaredLength = UINT32_MAX);

class ScriptedPeer {
public:
    using Script = std::function<void(PeerConnection&)>;
    // Listens on 127.0.0.1 on a port of the system's choosing.
    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();  // waits for the script to end
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const;
    // Blocks until the script has run to its end.
    void Join();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zrtest

#endif
