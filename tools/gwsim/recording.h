// Recorded device sessions: what passed between a PC and a device, one JSON
// object per line (the format is described in README.md, "Recorded sessions").
//
// SessionWriter turns the raw bytes a proxy relays into that file as they
// pass: every line is written and flushed when its event happens, so a
// session cut short (the proxy killed, the disk full) is readable up to its
// last complete line. LoadSession reads a file back into exchanges that a
// Replayer answers from, and names the file, line and byte offset of anything
// it cannot take.
#ifndef ZODARURUVIZI_TOOLS_GWSIM_RECORDING_H
#define ZODARURUVIZI_TOOLS_GWSIM_RECORDING_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/gwsim/simulator.h"

namespace gwsim {

constexpr const char* kSessionFormat = "gwsim-session";
constexpr int kSessionVersion = 1;

// One piece of what a device sent: a complete reply frame, or bytes that are
// not one (garbage, or the start of a frame the device never finished).
struct ReplyPiece {
    bool raw = false;
    // raw == false: a frame with these fields; the declared data length is
    // data.size().
    uint8_t version = kProtocolVersion;
    uint8_t kind = 0;
    uint32_t sequence = 0;
    uint32_t status = 0;
    std::vector<uint8_t> data;
    // raw == true
    std::vector<uint8_t> bytes;
    std::string note;

    std::vector<uint8_t> Encode() const;
};

// One read from the device: its bytes as they came, and the time since the
// request (first segment) or since the segment before.
struct ReplySegment {
    uint32_t gap_ms = 0;
    std::vector<uint8_t> bytes;
};

// A request and what the device did about it.
struct Exchange {
    size_t number = 0;      // "n": 1 for the first request of the session
    size_t connection = 0;  // "conn"
    size_t line = 0;        // line of the request in the file (0: not from a file)
    RecordedRequest request;
    std::vector<ReplyPiece> pieces;      // what the device sent, decoded
    std::vector<ReplySegment> segments;  // and how it came
    bool device_closes = false;          // the device closed the connection afterwards
    bool abortive = false;               // ... with a reset (RST)
    uint32_t close_gap_ms = 0;           // time from the last segment to that close

    // The bytes the pieces make; equal to the segments' bytes in a recording
    // that nobody edited.
    std::vector<uint8_t> PieceBytes() const;
    std::vector<uint8_t> SegmentBytes() const;
};

struct Session {
    Family family = Family::ZEL;
    std::string device;  // the device's address:port when it was recorded
    std::string started;
    std::vector<Exchange> exchanges;  // in recorded order
    size_t connections = 0;
    size_t failed_connections = 0;
    bool complete = false;  // the end line is there
};

// Splits a device's byte stream into pieces. Bytes that may still become a
// frame are kept until more come or Flush is called.
class ReplyDecoder {
public:
    std::vector<ReplyPiece> Add(const std::vector<uint8_t>& bytes);
    std::vector<ReplyPiece> Flush();  // what is left, as a raw piece
    bool Pending() const { return !pending_.empty(); }

private:
    std::vector<uint8_t> pending_;
};

// Writes a session as it happens. Thread-safe. Until Open succeeds it
// writes and keeps nothing.
class SessionWriter {
public:
    // Creates (truncates) the file and writes the session line.
    bool Open(const std::string& path, Family family, const std::string& device,
              const std::string& listen, std::string* error);

    void Connected(size_t conn, const std::string& peer);
    void ConnectFailed(size_t conn, const std::string& why);
    // Bytes the PC sent (before they are passed on).
    void PcBytes(size_t conn, const std::vector<uint8_t>& bytes);
    // Bytes the device sent (before they are passed on).
    void DeviceBytes(size_t conn, const std::vector<uint8_t>& bytes);
    // by_device: the device ended the connection; abortive: with a reset.
    void Closed(size_t conn, bool by_device, bool abortive);
    // The end line; nothing is written after it.
    void End();

    size_t RequestCount() const;
    // The requests written so far, in order.
    std::vector<RecordedRequest> Requests() const;
    // False when a write failed (the first failure is kept in *error).
    bool Healthy(std::string* error = nullptr) const;

private:
    struct Conn {
        std::vector<uint8_t> from_pc;
        bool pc_unframed = false;  // the PC sent something that is not a request
        ReplyDecoder decoder;
        size_t last_request = 0;  // "n" of the last request on it, 0 for none
        std::chrono::steady_clock::time_point last_time;  // of that request or the last segment
    };
    void WriteLine(const std::string& line);
    uint64_t Now() const;
    void FlushDecoder(size_t conn, Conn& c);
    // A "reply" line: the bytes the device sent, or (flush) what is left of
    // an unfinished frame.
    void ReplyLine(size_t conn, Conn& c, const Bytes& bytes, bool flush);

    mutable std::mutex mu_;
    std::ofstream out_;
    bool open_ = false;
    bool ended_ = false;
    std::string failure_;
    std::chrono::steady_clock::time_point start_;
    std::map<size_t, Conn> conns_;
    std::vector<RecordedRequest> requests_;
};

// Reads a session file. On failure *error says where and what, in the form
// "FILE:LINE (offset N): what is wrong". Warnings (a last line cut short, no
// end line) go to *warnings; the session then holds everything before.
bool LoadSession(const std::string& path, Session* session, std::string* error,
                 std::vector<std::string>* warnings = nullptr);
// The same, from text; `name` stands for the file in messages.
bool ParseSession(const std::string& text, const std::string& name, Session* session,
                  std::string* error, std::vector<std::string>* warnings = nullptr);

}  // namespace gwsim

#endif  // ZODARURUVIZI_TOOLS_GWSIM_RECORDING_H
