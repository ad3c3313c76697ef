// Reply classification and decoding: arbitrary bytes from a device, delivered
// in arbitrary pieces as the transport delivers them, through
// CSubStream::ExtractReply and the command libraries' decoding, with arbitrary
// rooms. The caller's data buffer lies inside a larger guarded area, so that a
// byte written past the room is seen even where AddressSanitizer cannot see it.
//
// Input: selector (1 byte: which command), room (4 bytes), flags (1 byte),
// number of piece sizes k (1 byte, at most 7) and k piece sizes (1 byte each),
// then the bytes received. Flag 1 replaces every "SEQ!" in the received bytes
// by the request's sequence number, so that frames answering the request can
// be found; flag 2 delivers the rest in one piece after the listed pieces
// (otherwise the listed sizes repeat).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hostapi/substream.h"

namespace {

const size_t kReceiveBufferSize = 20008;  // the transport's buffer
const size_t kGuard = 64;
const unsigned char kGuardByte = 0xA5;
const unsigned char kUntouchedByte = 0x5A;
const uint32_t kMaxRoom = 20100;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "reply_fuzz: %s\n", what);
    abort();
}

uint32_t Get32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

enum Command { kVsiCommand, kVsiReset, kMsiCommand, kMsiReset, kCommands };

struct Caller {
    Command command;
    uint32_t room = 0;
    std::vector<unsigned char> area;  // guard, room bytes, guard
    DWORD length32 = 0;
    DWORD status32 = 0;
    int lengthInt = 0;
    int statusInt = 0;
    int declaredInt = 0;

    unsigned char* Buffer() { return area.data() + kGuard; }
};

// Whether a frame answering the request lies in bytes[0, count) with the
// decoded status, length and data.
bool DecodedFrameIsThere(const unsigned char* bytes, size_t count, uint32_t sequence, uint8_t kind,
                         uint32_t status, uint32_t length, const unsigned char* data,
                         uint32_t copied) {
    for (size_t p = 0; p + 16 <= count; ++p) {
        const unsigned char* f = bytes + p;
        if (f[0] != 'G' || f[1] != 'W' || f[2] != 1 || f[3] != kind)
            continue;
        if (Get32(f + 4) != sequence || Get32(f + 8) != status || Get32(f + 12) != length)
            continue;
        if (p + 16 + length > count)
            continue;
        if (copied > 0 && memcmp(f + 16, data, copied) != 0)
            continue;
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7)
        return 0;
    Caller c;
    c.command = static_cast<Command>(data[0] % kCommands);
    const uint32_t roomWord = Get32(data + 1);
    const uint8_t flags = data[5];
    std::vector<size_t> pieces(data[6] % 8);
    size_t at = 7;
    for (size_t& p : pieces)
        p = at < size ? data[at++] : 0;
    std::vector<unsigned char> received(data + std::min(at, size), data + size);

    // Rooms: anything up to past the transport's buffer; the measurement
    // interface's int length may also be negative (no room at all).
    uint32_t room = roomWord % (kMaxRoom + 1);
    c.declaredInt = static_cast<int>(roomWord);
    if (c.declaredInt > 0)
        c.declaredInt = static_cast<int>(room);
    if (c.command == kMsiCommand)
        room = c.declaredInt > 0 ? uint32_t(c.declaredInt) : 0;
    if (c.command == kVsiReset || c.command == kMsiReset)
        room = 0;
    c.room = room;
    c.area.assign(kGuard + room + kGuard, kGuardByte);
    memset(c.Buffer(), kUntouchedByte, room);

    CSubStream stream;
    uint8_t expectedKind = 0;
    const uint32_t statusPreset = 0x13572468u;
    switch (c.command) {
        case kVsiCommand:
            c.length32 = room;
            VSI_GetSerialNumber(stream, 0x20000000, &c.length32, c.Buffer(), 0, &c.status32);
            expectedKind = 0x81;
            break;
        case kVsiReset:
            VSI_Reset(stream, 0x80000000, &c.status32);
            expectedKind = 0x82;
            break;
        case kMsiCommand:
            c.lengthInt = c.declaredInt;
            c.statusInt = int(statusPreset);
            MSI_GetCardDetails(stream, 2, &c.lengthInt, reinterpret_cast<char*>(c.Buffer()), 0,
                               &c.statusInt);
            expectedKind = 0x91;
            break;
        case kMsiReset:
            c.statusInt = int(statusPreset);
            MSI_Reset(stream, 0x1000000, &c.statusInt);
            expectedKind = 0x92;
            break;
        default:
            break;
    }
    const uint32_t sequence = stream.GetSequenceNumber();
    if (sequence == 0)
        Fail("no sequence number");
    if (flags & 1) {
        for (size_t i = 0; i + 4 <= received.size(); ++i) {
            if (memcmp(&received[i], "SEQ!", 4) == 0) {
                received[i] = uint8_t(sequence >> 24);
                received[i + 1] = uint8_t(sequence >> 16);
                received[i + 2] = uint8_t(sequence >> 8);
                received[i + 3] = uint8_t(sequence);
            }
        }
    }

    // The transport's receive loop, piece by piece.
    std::vector<unsigned char> buffer(kReceiveBufferSize, 0);
    size_t count = 0;
    at = 0;
    size_t piece = 0;
    EXTRACT_STATUS result = EXTRACT_NEED_MORE;
    bool done = false;
    while (!done && at < received.size()) {
        // The listed pieces, then (flag 2) the rest at once or the listed
        // sizes again; a size of 0 is a wake-up that brings nothing.
        size_t n = received.size() - at;
        if (!pieces.empty() && (piece < pieces.size() || !(flags & 2))) {
            n = std::min(n, pieces[piece % pieces.size()]);
        }
        if (++piece > 4 * received.size() + 16)
            break;
        n = std::min(n, kReceiveBufferSize - count);
        memcpy(buffer.data() + count, received.data() + at, n);
        at += n;
        count += n;
        result = stream.ExtractReply(reinterpret_cast<const char*>(buffer.data()), int(count));
        switch (result) {
            case EXTRACT_COMPLETE:
            case EXTRACT_FAILED:
                done = true;
                break;
            case EXTRACT_UNWANTED:
                count = 0;
                break;
            case EXTRACT_NEED_MORE:
                if (count >= kReceiveBufferSize)
                    done = true;  // the transport gives up
                break;
            default:
                Fail("unknown classification");
        }
    }

    for (size_t i = 0; i < kGuard; ++i) {
        if (c.area[i] != kGuardByte || c.area[kGuard + room + i] != kGuardByte) {
            Fail("written outside the room");
        }
    }

    const bool vsi = c.command == kVsiCommand || c.command == kVsiReset;
    const uint32_t status = vsi ? c.status32 : uint32_t(c.statusInt);
    if (result != EXTRACT_COMPLETE) {
        // Nothing of the caller's was touched beyond the preset failure status.
        if (status != (vsi ? 0xFFFFFFFFu : statusPreset))
            Fail("status set without a reply");
        if (c.command == kVsiCommand && c.length32 != room)
            Fail("length set without a reply");
        if (c.command == kMsiCommand && c.lengthInt != c.declaredInt) {
            Fail("length set without a reply");
        }
        for (uint32_t i = 0; i < room; ++i) {
            if (c.Buffer()[i] != kUntouchedByte)
                Fail("buffer written without a reply");
        }
        return 0;
    }

    // A complete reply: its frame answers this request and what was decoded is
    // what the frame says, cut to the room.
    uint32_t length = 0;
    if (c.command == kVsiCommand)
        length = c.length32;
    if (c.command == kMsiCommand)
        length = uint32_t(c.lengthInt);
    const bool withData = c.command == kVsiCommand || c.command == kMsiCommand;
    if (withData && length > 19992)
        Fail("decoded length over the largest reply");
    const uint32_t copied = withData ? std::min(length, room) : 0;
    if (withData) {
        if (!DecodedFrameIsThere(buffer.data(), count, sequence, expectedKind, status, length,
                                 c.Buffer(), copied)) {
            Fail("decoded a reply that is not in the bytes");
        }
        for (uint32_t i = copied; i < room; ++i) {
            if (c.Buffer()[i] != kUntouchedByte)
                Fail("buffer written past the reply's data");
        }
    } else {
        bool found = false;
        for (size_t p = 0; p + 16 <= count && !found; ++p) {
            const unsigned char* f = buffer.data() + p;
            found = f[0] == 'G' && f[1] == 'W' && f[3] == expectedKind &&
                    Get32(f + 4) == sequence && Get32(f + 8) == status;
        }
        if (!found)
            Fail("decoded a reset reply that is not in the bytes");
    }
    return 0;
}
