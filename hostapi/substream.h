// The sub-stream component, the device-interface (VSI_) and measurement-interface
// (MSI_) command libraries, and the event component's IFC_Get32.
//
// A request is built into a CSubStream by a command-library function, which also
// registers the caller's reply fields. The transport sends RequestBytes() and
// hands every byte received since the start of the exchange to ExtractReply,
// which fills the registered fields when the reply is complete. Nothing is
// ever written past the room the caller declared for its data buffer.
//
// Wire format, integers big-endian:
//   request: "GW", version 1, kind, sequence, code, qualifier, room, payload
//            length N (24 bytes), then N payload bytes;
//   reply:   "GW", version 1, kind | 0x80, sequence, status, data length M
//            (16 bytes), then M data bytes (M <= 19992).
#ifndef ZODARURUVIZI_HOSTAPI_SUBSTREAM_H
#define ZODARURUVIZI_HOSTAPI_SUBSTREAM_H

#include <stdint.h>
#include <vector>

#include "platform/export.h"
#include "platform/winapi.h"

enum EXTRACT_STATUS {
    EXTRACT_COMPLETE = 0,   // reply complete and decoded into the caller's fields
    EXTRACT_NEED_MORE = 1,  // more bytes are needed
    EXTRACT_FAILED = 2,     // the reply failed
    EXTRACT_UNWANTED = 3    // the bytes so far are not (or no longer) wanted
};

namespace substream {
constexpr uint8_t kMagic0 = 0x47;  // 'G'
constexpr uint8_t kMagic1 = 0x57;  // 'W'
constexpr uint8_t kVersion = 1;
constexpr uint8_t kKindVsiCommand = 0x01;
constexpr uint8_t kKindVsiReset = 0x02;
constexpr uint8_t kKindMsiCommand = 0x11;
constexpr uint8_t kKindMsiReset = 0x12;
constexpr uint8_t kReplyBit = 0x80;
constexpr int kRequestHeaderSize = 24;
constexpr int kReplyHeaderSize = 16;
constexpr uint32_t kMaxReplyData = 19992;  // 20008-byte receive buffer less the header
constexpr uint32_t kNoReplyStatus = 0xFFFFFFFFu;
}  // namespace substream

// One exchange's request and reply state. Not copyable; one thread at a time.
class ZODARURUVIZI_API CSubStream {
public:
    CSubStream();
    virtual ~CSubStream();
    CSubStream(const CSubStream&) = delete;
    CSubStream& operator=(const CSubStream&) = delete;

    // The request bytes to send in one piece; empty before a request is built.
    const char* GetRequestBytes() const;
    int GetRequestLength() const;
    // Sequence number of the request held; 0 before a request is built.
    uint32_t GetSequenceNumber() const { return m_Sequence; }

    // Classifies bytes[0, count) (everything received since the exchange began
    // or was last restarted) and decodes a complete reply into the registered
    // fields. count < 0 is treated as 0.
    EXTRACT_STATUS ExtractReply(const char* bytes, int count);

    // Builds a request, replacing any request and reply state held before: a
    // new sequence number from the process-wide counter. Used by the command
    // libraries. The reply fields registered are filled by ExtractReply; each
    // pointer may be null.
    struct ReplyFields {
        DWORD* pStatus32 = nullptr;
        int* pStatusInt = nullptr;
        DWORD* pLength32 = nullptr;
        int* pLengthInt = nullptr;
        void* pBuffer = nullptr;
        uint32_t room = 0;  // bytes the caller's buffer can take
    };
    void BuildRequest(uint8_t kind, uint32_t code, uint32_t qualifier, uint32_t room,
                      const void* payload, uint32_t payloadLength, const ReplyFields& fields);

private:
    void Decode(const unsigned char* frame, uint32_t status, uint32_t dataLength);

    std::vector<char> m_Request;
    uint32_t m_Sequence;
    uint8_t m_ExpectedKind;
    ReplyFields m_Fields;
};

// Device-interface command library (first-generation device).
// Builds a command into the stream. *length carries the room of buffer in and,
// once the reply is decoded, the number of data bytes the device sent (which
// may exceed the room: only min(sent, room) bytes are copied). *status is set
// to 0xFFFFFFFF now, so an exchange without a reply reads as a failure, and to
// the device's status word when the reply is decoded. Codes 0x00000400 and
// 0x00008000 send the first *length bytes of buffer to the device.
ZODARURUVIZI_API void VSI_GetSerialNumber(CSubStream& stream, DWORD code, DWORD* length,
                                          void* buffer, DWORD qualifier, DWORD* status);
// Builds a reset; the reply's status word goes to *status (0xFFFFFFFF until then).
ZODARURUVIZI_API void VSI_Reset(CSubStream& stream, DWORD code, DWORD* status);

// Measurement-interface command library (measurement module). Same shapes, int
// fields; *status is left as the caller set it until a reply is decoded. Code 9
// sends the first *length bytes of buffer to the device.
ZODARURUVIZI_API void MSI_GetCardDetails(CSubStream& stream, int code, int* length, char* buffer,
                                         int qualifier, int* status);
ZODARURUVIZI_API void MSI_Reset(CSubStream& stream, int code, int* status);

// Event component: decodes 4 bytes, big-endian.
ZODARURUVIZI_API DWORD IFC_Get32(const void* bytes);

#endif
