#include "hostapi/substream.h"

#include <string.h>

#include <algorithm>
#include <atomic>

using namespace substream;

namespace {

// One counter for the whole process, so no two sub-streams share a number.
std::atomic<uint32_t> g_NextSequence{1};

uint32_t TakeSequenceNumber() {
    for (;;) {
        uint32_t seq = g_NextSequence.fetch_add(1, std::memory_order_relaxed);
        if (seq != 0)
            return seq;
    }
}

void Put32(std::vector<char>& out, size_t offset, uint32_t value) {
    out[offset] = static_cast<char>(value >> 24);
    out[offset + 1] = static_cast<char>(value >> 16);
    out[offset + 2] = static_cast<char>(value >> 8);
    out[offset + 3] = static_cast<char>(value);
}

uint32_t Get32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

CSubStream::CSubStream() : m_Sequence(0), m_ExpectedKind(0) {}

CSubStream::~CSubStream() = default;

const char* CSubStream::GetRequestBytes() const {
    return m_Request.data();
}

int CSubStream::GetRequestLength() const {
    return static_cast<int>(m_Request.size());
}

void CSubStream::BuildRequest(uint8_t kind, uint32_t code, uint32_t qualifier, uint32_t room,
                              const void* payload, uint32_t payloadLength,
                              const ReplyFields& fields) {
    if (!payload)
        payloadLength = 0;
    m_Request.assign(kRequestHeaderSize + static_cast<size_t>(payloadLength), 0);
    m_Sequence = TakeSequenceNumber();
    m_ExpectedKind = static_cast<uint8_t>(kind | kReplyBit);
    m_Fields = fields;
    m_Request[0] = static_cast<char>(kMagic0);
    m_Request[1] = static_cast<char>(kMagic1);
    m_Request[2] = static_cast<char>(kVersion);
    m_Request[3] = static_cast<char>(kind);
    Put32(m_Request, 4, m_Sequence);
    Put32(m_Request, 8, code);
    Put32(m_Request, 12, qualifier);
    Put32(m_Request, 16, room);
    Put32(m_Request, 20, payloadLength);
    if (payloadLength > 0)
        memcpy(&m_Request[kRequestHeaderSize], payload, payloadLength);
}

EXTRACT_STATUS CSubStream::ExtractReply(const char* bytes, int count) {
    if (!bytes || count < 0)
        count = 0;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes);
    const size_t total = static_cast<size_t>(count);
    size_t pos = 0;
    for (;;) {
        const size_t avail = total - pos;
        const unsigned char* frame = data + pos;
        // Bytes that cannot begin a frame, as far as there are bytes to compare.
        if ((avail >= 1 && frame[0] != kMagic0) || (avail >= 2 && frame[1] != kMagic1)) {
            return EXTRACT_UNWANTED;
        }
        if (avail < static_cast<size_t>(kReplyHeaderSize))
            return EXTRACT_NEED_MORE;
        const uint32_t dataLength = Get32(frame + 12);
        if (frame[2] != kVersion || dataLength > kMaxReplyData)
            return EXTRACT_FAILED;
        const size_t frameLength = kReplyHeaderSize + static_cast<size_t>(dataLength);
        if (avail < frameLength)
            return EXTRACT_NEED_MORE;
        if (m_Sequence == 0 || Get32(frame + 4) != m_Sequence) {
            // A late reply to an earlier exchange: skip it.
            pos += frameLength;
            if (pos == total)
                return EXTRACT_UNWANTED;
            continue;
        }
        if (frame[3] != m_ExpectedKind)
            return EXTRACT_FAILED;
        Decode(frame, Get32(frame + 8), dataLength);
        return EXTRACT_COMPLETE;
    }
}

void CSubStream::Decode(const unsigned char* frame, uint32_t status, uint32_t dataLength) {
    if (m_Fields.pStatus32)
        *m_Fields.pStatus32 = status;
    if (m_Fields.pStatusInt)
        *m_Fields.pStatusInt = static_cast<int>(status);
    if (m_Fields.pLength32)
        *m_Fields.pLength32 = dataLength;
    if (m_Fields.pLengthInt)
        *m_Fields.pLengthInt = static_cast<int>(dataLength);
    if (m_Fields.pBuffer) {
        const uint32_t copy = std::min(dataLength, m_Fields.room);
        if (copy > 0)
            memcpy(m_Fields.pBuffer, frame + kReplyHeaderSize, copy);
    }
}

namespace {

// Codes whose request carries the caller's buffer to the device.
bool VsiCarriesPayload(DWORD code) {
    return code == 0x00000400u || code == 0x00008000u;
}
bool MsiCarriesPayload(int code) {
    return code == 9;
}

}  // namespace

void VSI_GetSerialNumber(CSubStream& stream, DWORD code, DWORD* length, void* buffer,
                         DWORD qualifier, DWORD* status) {
    const uint32_t room = (length && buffer) ? *length : 0;
    if (status)
        *status = kNoReplyStatus;
    CSubStream::ReplyFields fields;
    fields.pStatus32 = status;
    fields.pLength32 = length;
    fields.pBuffer = buffer;
    fields.room = room;
    const bool withPayload = VsiCarriesPayload(code) && buffer != nullptr;
    stream.BuildRequest(kKindVsiCommand, code, qualifier, length ? *length : 0,
                        withPayload ? buffer : nullptr, withPayload ? room : 0, fields);
}

void VSI_Reset(CSubStream& stream, DWORD code, DWORD* status) {
    if (status)
        *status = kNoReplyStatus;
    CSubStream::ReplyFields fields;
    fields.pStatus32 = status;
    stream.BuildRequest(kKindVsiReset, code, 0, 0, nullptr, 0, fields);
}

void MSI_GetCardDetails(CSubStream& stream, int code, int* length, char* buffer, int qualifier,
                        int* status) {
    const int declared = length ? *length : 0;
    const uint32_t room = (buffer && declared > 0) ? static_cast<uint32_t>(declared) : 0;
    CSubStream::ReplyFields fields;
    fields.pStatusInt = status;
    fields.pLengthInt = length;
    fields.pBuffer = buffer;
    fields.room = room;
    const bool withPayload = MsiCarriesPayload(code) && buffer != nullptr;
    stream.BuildRequest(kKindMsiCommand, static_cast<uint32_t>(code),
                        static_cast<uint32_t>(qualifier), static_cast<uint32_t>(declared),
                        withPayload ? buffer : nullptr, withPayload ? room : 0, fields);
}

void MSI_Reset(CSubStream& stream, int code, int* status) {
    CSubStream::ReplyFields fields;
    fields.pStatusInt = status;
    stream.BuildRequest(kKindMsiReset, static_cast<uint32_t>(code), 0, 0, nullptr, 0, fields);
}

DWORD IFC_Get32(const void* bytes) {
    if (!bytes)
        return 0;
    return Get32(static_cast<const unsigned char*>(bytes));
}
