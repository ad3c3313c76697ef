// The device side of the sub-stream wire format: request and reply frame
// layouts, a reader that splits a byte stream into frames, and a writer.
// Written from the format's description alone (not from the library's
// CSubStream), so that tests can hold one against the other.
#ifndef ZODARURUVIZI_TOOLS_GWSIM_WIRE_H
#define ZODARURUVIZI_TOOLS_GWSIM_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gwsim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kMagic0 = 0x47;  // 'G'
constexpr uint8_t kMagic1 = 0x57;  // 'W'
constexpr uint8_t kProtocolVersion = 1;
constexpr size_t kRequestHeaderSize = 24;
constexpr size_t kReplyHeaderSize = 16;
constexpr uint32_t kMaxReplyData = 19992;           // 20008 - 16
constexpr uint32_t kMaxRequestPayload = 64 * 1024;  // the device takes no larger payload
constexpr uint8_t kReplyBit = 0x80;

uint32_t Get32(const uint8_t* p);  // big-endian
void Put32(Bytes* out, uint32_t v);

// A request frame's fields.
struct RecordedRequest {
    size_t connection = 0;  // 1 for the first connection accepted, and so on
    uint8_t version = kProtocolVersion;
    uint8_t kind = 0;
    uint32_t sequence = 0;
    uint32_t code = 0;
    uint32_t qualifier = 0;
    uint32_t room = 0;
    Bytes payload;
};
Bytes EncodeRequest(const RecordedRequest& request);

// A reply frame's fields; `declared` is the data length written in the
// header (normally data.size()).
struct Reply {
    uint8_t version = kProtocolVersion;
    uint8_t kind = 0;
    uint32_t sequence = 0;
    uint32_t status = 0;
    uint32_t declared = 0;
    Bytes data;
};
Bytes EncodeReply(const Reply& reply);
// The usual reply: `kind` is the request kind (the reply bit is added).
Bytes ReplyFrame(uint8_t request_kind, uint32_t sequence, uint32_t status, const Bytes& data = {});

enum class FrameStatus {
    Incomplete,  // more bytes are needed to tell
    Complete,    // a request frame of version 1
    BadMagic,    // the bytes do not start with "GW" (as far as they go)
    BadVersion,  // a complete frame of another protocol version (its fields are read)
    Oversized,   // the declared payload is over kMaxRequestPayload (header fields are read)
};

// The request frame at the start of `bytes`: its status, its fields and its
// size (header and payload; 0 unless Complete or BadVersion).
struct RequestFrame {
    FrameStatus status = FrameStatus::Incomplete;
    RecordedRequest request;
    size_t size = 0;
};
RequestFrame ReadRequest(const uint8_t* bytes, size_t n);

// The reply frame at the start of `bytes`: Incomplete, BadMagic or Complete
// (any version; a declared data length over `max_data` reads as Oversized).
struct ReplyFrameRead {
    FrameStatus status = FrameStatus::Incomplete;
    Reply reply;
    size_t size = 0;
};
ReplyFrameRead ReadReplyFrame(const uint8_t* bytes, size_t n, uint32_t max_data);

// Hex without separators, lower case; and back (false on an odd length or a
// character that is not a hex digit).
std::string ToHex(const Bytes& bytes);
bool FromHex(const std::string& text, Bytes* bytes);
// "0x" and `digits` upper-case hex digits.
std::string Hex32(uint32_t v, int digits = 8);
// True when every byte is printable ASCII (0x20 to 0x7E).
bool Printable(const Bytes& bytes);
// A whole number (decimal, or 0x-hex, or 0-octal) up to `limit`, with no
// sign, space or trailing characters.
bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* value);
// The index of `text` among `names` (exactly as spelt), or -1.
template <size_t N>
int NameIndex(const char* const (&names)[N], const std::string& text) {
    for (size_t i = 0; i < N; ++i) {
        if (text == names[i])
            return int(i);
    }
    return -1;
}
// Sets *error (when given) to `why` and returns false.
bool Fail(std::string* error, const std::string& why);
// The whole content of a file; false when it cannot be read.
bool ReadTextFile(const std::string& path, std::string* text);
// A one-line description of a request for messages: kind, sequence, code,
// qualifier, room and payload (text when printable, else hex).
std::string DescribeRequest(const RecordedRequest& request);

}  // namespace gwsim

#endif  // ZODARURUVIZI_TOOLS_GWSIM_WIRE_H
