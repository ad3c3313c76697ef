// gwsim: a simulated gateway device on TCP.
//
// A Simulator answers as one device of the ZEL family (first-generation
// device, port 9191, device-interface requests of kinds 0x01/0x02) or of the
// MIR family (measurement module, port 9181, kinds 0x11/0x12). It serves one
// connection at a time on its own thread, on the loopback address it is given,
// so several simulated devices can run side by side with the same port.
//
// Everything here is thread-safe: a test starts a Simulator, talks to it over
// TCP from another thread, and reads what it recorded through the accessors.
// The networking library stays behind the implementation.
#ifndef ZODARURUVIZI_TOOLS_GWSIM_SIMULATOR_H
#define ZODARURUVIZI_TOOLS_GWSIM_SIMULATOR_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/gwsim/wire.h"

namespace gwsim {

constexpr uint8_t kKindDeviceCommand = 0x01;
constexpr uint8_t kKindDeviceReset = 0x02;
constexpr uint8_t kKindMeasurementCommand = 0x11;
constexpr uint8_t kKindMeasurementReset = 0x12;

// ZEL device-interface codes.
constexpr uint32_t kZelGetLcRelease = 0x20000000;
constexpr uint32_t kZelGetPromRelease = 0x10000000;
constexpr uint32_t kZelGetBootstrapRelease = 0x01000000;
constexpr uint32_t kZelGetCpldRevision = 0x00000800;
constexpr uint32_t kZelGetCableVersion = 0x00000200;
constexpr uint32_t kZelGetSerialNumber = 0x80000000;
constexpr uint32_t kZelGetMacAddress = 0x00020000;
constexpr uint32_t kZelMacEthernet = 0x88000000;  // qualifier
constexpr uint32_t kZelMacUsb = 0x48000000;       // qualifier
constexpr uint32_t kZelRequestSerialNumber = 0x00400000;
constexpr uint32_t kZelSerialNumberText = 0x00008000;
constexpr uint32_t kZelUpdateCable = 0x00000400;
constexpr uint32_t kZelResetCode = 0x80000000;

// MIR measurement-interface codes.
constexpr uint32_t kMirGetSerialNumber = 1;
constexpr uint32_t kMirGetLcRelease = 2;
constexpr uint32_t kMirGetPromRelease = 3;
constexpr uint32_t kMirUpdateProm = 9;
constexpr uint32_t kMirResetCode = 0x1000000;

// Status words the device answers with.
constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusStandardCpld = 1;
constexpr uint32_t kStatusNoRelease = 2;
constexpr uint32_t kStatusUnsupported = 0x0000FFFF;

// ---- device state ----

enum class Family { ZEL, MIR };
enum class CableType { None, Mac, R318 };

const char* FamilyName(Family family);  // "ZEL" / "MIR"
bool ParseFamily(const std::string& text, Family* family);
uint16_t DefaultPort(Family family);         // 9191 / 9181
const char* CableTypeName(CableType cable);  // "none" / "mac" / "r318"
bool ParseCableType(const std::string& text, CableType* cable);

// What the device is and answers. JSON keys are documented in README.md.
struct DeviceState {
    Family family = Family::ZEL;
    std::string lc_release;
    std::string prom_release;
    std::string bootstrap_release;      // ZEL only
    bool cpld_custom = false;           // ZEL: false = standard CPLD
    uint32_t cpld_revision = 0;         // ZEL: revision of a custom CPLD
    CableType cable = CableType::None;  // ZEL: attached active cable
    std::string cable_version;          // ZEL: its version text
    std::string serial_number;
    std::string mac_address;      // ZEL: network MAC address text
    std::string usb_mac_address;  // ZEL: USB MAC address text
    std::string pc_serial_text;   // ZEL: serial-number text last sent by the PC
    uint32_t reboot_ms = 0;       // how long a reset keeps the listener closed

    // A plausible device of the family (releases in the short forms the
    // library's comparisons understand, a MAC cable on a ZEL device).
    static DeviceState Default(Family family);

    std::string ToJson() const;
    // Missing keys keep the values of Default(family); unknown keys, wrong
    // types and bad enumeration values are errors.
    static bool FromJson(const std::string& text, DeviceState* state, std::string* error);
    static bool LoadFile(const std::string& path, DeviceState* state, std::string* error);
    bool SaveFile(const std::string& path, std::string* error) const;

    bool operator==(const DeviceState& other) const;
    bool operator!=(const DeviceState& other) const { return !(*this == other); }
};

// The release inside a firmware file: the text after the first "@(#)RELEASE="
// in the file's first MiB, up to a zero byte, CR, LF or 127 bytes, white space
// trimmed. False when the file cannot be read, has no marker or an empty text.
bool ReadReleaseFromFile(const std::string& path, std::string* release);

// ---- faults ----

enum class FaultKind {
    Status,          // answer `status` with `data` (default none); the request has no effect
    NoReply,         // no answer at all; the request has no effect
    Split,           // the real answer in segments of `segment_size` bytes, `pause_ms` apart
    LateReplyFirst,  // a complete frame answering an earlier request (older sequence
                     // number) ahead of the real answer; `pause_ms` between them
    GarbageFirst,    // `garbage` as a segment of its own, `pause_ms` before the real answer
    Oversized,       // see OversizeMode
    CloseMidReply,   // send the first `close_after` bytes of the answer, then close
};

enum class OversizeMode {
    DeclaredTooLong,  // declared data length `oversize_length` (> 19992), that much data sent
    MoreThanRoom,     // the real answer padded to the request's room + `extra_bytes`
};

struct Fault {
    FaultKind kind = FaultKind::Status;
    std::optional<uint32_t> code;         // request code to match; none: any
    std::optional<uint32_t> qualifier;    // qualifier to match; none: any
    std::optional<uint8_t> request_kind;  // request kind to match (e.g. 0x02); none: any
    int times = -1;                       // how many matching requests it applies to; -1: always

    uint32_t status = 0;                       // Status
    std::optional<std::vector<uint8_t>> data;  // Status: data to send (none: no data)
    size_t segment_size = 1;                   // Split
    int pause_ms = -1;             // Split 20, LateReplyFirst 0, GarbageFirst 1000 when -1
    std::vector<uint8_t> garbage;  // GarbageFirst; empty: a default
    OversizeMode oversize = OversizeMode::DeclaredTooLong;
    uint32_t oversize_length = kMaxReplyData + 1;  // Oversized, DeclaredTooLong
    uint32_t extra_bytes = 16;                     // Oversized, MoreThanRoom
    size_t close_after = 10;                       // CloseMidReply
};

// Parses "KIND[:key=value,...]" as the command line takes it, for example
// "status:code=0x20000000,status=5,times=2", "noreply:code=0x80000000,kind=2",
// "split:size=3,pause=50", "late", "garbage:pause=1000,bytes=00ff41",
// "oversize:mode=room,extra=32", "closemid:after=8". Kinds: status, noreply,
// split, late, garbage, oversize, closemid. Keys: code, qualifier, kind,
// times, status, data (text), hexdata, size, pause, bytes (hex), mode
// (declared|room), length, extra, after.
bool ParseFault(const std::string& spec, Fault* fault, std::string* error);
const char* FaultKindName(FaultKind kind);  // as ParseFault spells it

// Faults of the listener rather than of one request.
enum class ConnectionFault {
    None,
    Refuse,         // the listener is closed: connection attempts are refused
    NeverComplete,  // connection attempts neither complete nor fail (they time out)
};
bool ParseConnectionFault(const std::string& text, ConnectionFault* fault);  // none|refuse|hang

// What a connection does next: write bytes, wait, or close.
struct Step {
    enum Type { Write, Wait, Close } type = Write;
    Bytes bytes{};          // Write
    int ms = 0;             // Wait
    std::string why{};      // Close: the reason given in events and logs
    bool abortive = false;  // Close: with a reset (RST)
    bool reboot = false;    // Close: the device reboots after it
};

// How the device sends `reply` to a request with `room` under `fault` (none:
// as it is): the steps, and in *sent the complete frame sent (empty when none
// was: no reply, or closed in mid-reply). `previous` is the last frame sent
// before, which a late reply repeats.
std::vector<Step> ShapeReply(Reply reply, uint32_t room, const Bytes& previous, const Fault* fault,
                             Bytes* sent);

// ---- what the simulator records ----

enum class EventType {
    Connect,       // a connection was accepted
    Close,         // the connection ended (detail: why)
    Malformed,     // bad input from the PC (detail: what)
    Reset,         // a reset was executed (detail: the staged images taken)
    Update,        // an active-cable or PROM update took a release (detail)
    Listening,     // the listener is open (after Start, a reboot or a connection fault)
    NotListening,  // the listener was closed (reboot, connection fault)
    Fault,         // a request fault was applied (detail: which)
};
const char* EventTypeName(EventType type);

struct Event {
    EventType type = EventType::Connect;
    size_t connection = 0;  // the connection it concerns, 0 for none
    std::string detail;
};

// ---- the simulator ----

// What the simulator, the replay and the proxy are given alike.
struct ServerOptions {
    std::string bind_address = "127.0.0.1";
    uint16_t port = 0;  // 0: the family's port
    // Print requests, replies and events (the proxy: connections and closes).
    bool verbose = false;
    // Verbose output (the replay: also its reports); default stderr.
    std::function<void(const std::string&)> log;
};

struct Options : ServerOptions {
    std::string software_dir;  // empty: GATEWAY_SOFTWARE_DIR at each use, else
                               // "gateway_software" in the temporary directory
    // A frame left incomplete for this long ends the connection (so a stuck
    // client cannot keep the single-connection device busy forever).
    int incomplete_frame_timeout_ms = 5000;
};

class Server;

// What the simulator, the replay and the proxy share: a server on its own
// thread. Destroying it stops it.
class Service {
public:
    void Stop();  // ends every connection; idempotent
    const std::string& address() const;
    uint16_t port() const;
    size_t ConnectionCount() const;  // accepted so far
    // Waits, without sleeping, until the predicate holds (evaluated whenever
    // the server's state changes); true when it did.
    bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

protected:
    explicit Service(std::unique_ptr<Server> server);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    const std::unique_ptr<Server> server_;
};

class Simulator : public Service {
public:
    explicit Simulator(DeviceState state, Options options = Options());

    // Binds and starts serving on its own thread. False with the reason in
    // *error (e.g. the address is in use) when it cannot; never throws for that.
    bool Start(std::string* error = nullptr);
    bool IsRunning() const;
    // True while connection attempts can be accepted: false while rebooting or
    // under a connection fault.
    bool IsListening() const;

    Family family() const;

    // Recorded requests (every frame with a valid header), in arrival order.
    std::vector<RecordedRequest> Requests() const;
    size_t RequestCount() const;
    void ClearRequests();
    std::vector<Event> Events() const;
    DeviceState State() const;
    // Replaces the state; the family stays the one the simulator was built with.
    void SetState(const DeviceState& state);
    size_t ResetCount() const;

    void AddFault(const Fault& fault);  // first matching fault with times left wins
    void ClearFaults();
    void SetConnectionFault(ConnectionFault fault);
    ConnectionFault GetConnectionFault() const;

    // WaitUntil's predicate may call the accessors above.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout);
    bool WaitForResets(size_t count, std::chrono::milliseconds timeout);
    bool WaitForListening(bool listening, std::chrono::milliseconds timeout);

    class Impl;

private:
    Impl* const impl_;  // the server
};

}  // namespace gwsim

#endif  // ZODARURUVIZI_TOOLS_GWSIM_SIMULATOR_H
