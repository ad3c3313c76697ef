#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "hostapi/substream.h"
#include "tools/gwsim/wire.h"

namespace {

using Bytes = std::vector<char>;

void Put32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(v >> shift));
}

uint32_t Get32(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t(u[0]) << 24) | (uint32_t(u[1]) << 16) | (uint32_t(u[2]) << 8) | u[3];
}

// A reply frame as a device sends it.
Bytes Reply(uint8_t kind, uint32_t sequence, uint32_t status, const std::string& data,
            uint8_t version = 1, int declaredLength = -1) {
    Bytes out = {'G', 'W', static_cast<char>(version), static_cast<char>(kind)};
    Put32(out, sequence);
    Put32(out, status);
    Put32(out, declaredLength < 0 ? static_cast<uint32_t>(data.size())
                                  : static_cast<uint32_t>(declaredLength));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Query {
    CSubStream stream;
    char buffer[16];
    DWORD length = sizeof buffer;
    DWORD status = 0;
    Query() {
        memset(buffer, '#', sizeof buffer);
        VSI_GetSerialNumber(stream, 0x20000000, &length, buffer, 0, &status);
    }
    uint32_t seq() const { return stream.GetSequenceNumber(); }
    EXTRACT_STATUS Extract(const Bytes& bytes) {
        return stream.ExtractReply(bytes.data(), static_cast<int>(bytes.size()));
    }
};

TEST(SubStreamTest, RequestFrameCarriesHeaderFieldsBigEndian) {
    CSubStream stream;
    char path[] = "C:\\fw\\cable.hex";
    DWORD length = sizeof path;
    DWORD status = 0;
    VSI_GetSerialNumber(stream, 0x00000400, &length, path, 0x11223344, &status);
    ASSERT_EQ(stream.GetRequestLength(), 24 + static_cast<int>(sizeof path));
    const char* r = stream.GetRequestBytes();
    EXPECT_EQ(std::string(r, 3), std::string("GW\x01"));
    EXPECT_EQ(static_cast<uint8_t>(r[3]), 0x01);
    EXPECT_EQ(Get32(r + 4), stream.GetSequenceNumber());
    EXPECT_NE(stream.GetSequenceNumber(), 0u);
    EXPECT_EQ(Get32(r + 8), 0x00000400u);
    EXPECT_EQ(Get32(r + 12), 0x11223344u);
    EXPECT_EQ(Get32(r + 16), sizeof path);
    EXPECT_EQ(Get32(r + 20), sizeof path);
    EXPECT_EQ(memcmp(r + 24, path, sizeof path), 0);
    EXPECT_EQ(status, 0xFFFFFFFFu) << "no reply reads as failure";
}

TEST(SubStreamTest, OnlyDataCarryingCodesSendTheBuffer) {
    struct Case {
        uint8_t kind;
        uint32_t code;
        int payload;
    };
    const Case cases[] = {{0x01, 0x20000000, 0}, {0x01, 0x00008000, 128}, {0x01, 0x00000400, 128},
                          {0x11, 2, 0},          {0x11, 9, 128},          {0x02, 0x80000000, 0},
                          {0x12, 0x1000000, 0}};
    for (const Case& c : cases) {
        CSubStream stream;
        char buffer[128] = "secret";
        if (c.kind == 0x01) {
            DWORD length = 128, status;
            VSI_GetSerialNumber(stream, c.code, &length, buffer, 0, &status);
        } else if (c.kind == 0x11) {
            int length = 128, status = 5;
            MSI_GetCardDetails(stream, static_cast<int>(c.code), &length, buffer, 0, &status);
            EXPECT_EQ(status, 5) << "measurement requests leave the status as set";
        } else if (c.kind == 0x02) {
            DWORD status;
            VSI_Reset(stream, c.code, &status);
        } else {
            int status = 7;
            MSI_Reset(stream, static_cast<int>(c.code), &status);
        }
        ASSERT_EQ(stream.GetRequestLength(), 24 + c.payload) << std::hex << c.code;
        EXPECT_EQ(static_cast<uint8_t>(stream.GetRequestBytes()[3]), c.kind);
        EXPECT_EQ(Get32(stream.GetRequestBytes() + 8), c.code);
    }
}

TEST(SubStreamTest, SequenceNumbersAreUniqueAndRebuildingReplacesTheRequest) {
    std::set<uint32_t> seen;
    CSubStream stream;
    DWORD length = 4, status;
    char buffer[4];
    for (int i = 0; i < 1000; ++i) {
        VSI_GetSerialNumber(stream, 0x800, &length, buffer, 0, &status);
        EXPECT_TRUE(seen.insert(stream.GetSequenceNumber()).second);
    }
    // The earlier request's reply no longer answers the stream.
    const uint32_t old = stream.GetSequenceNumber();
    VSI_GetSerialNumber(stream, 0x800, &length, buffer, 0, &status);
    Bytes late = Reply(0x81, old, 0, "abcd");
    EXPECT_EQ(stream.ExtractReply(late.data(), static_cast<int>(late.size())), EXTRACT_UNWANTED);
}

TEST(SubStreamTest, ClassifiesEveryKindOfByteSequence) {
    struct Case {
        const char* name;
        Bytes (*make)(uint32_t seq, uint32_t otherSeq);
        EXTRACT_STATUS expected;
    };
    const Case cases[] = {
        {"nothing yet", [](uint32_t, uint32_t) { return Bytes(); }, EXTRACT_NEED_MORE},
        {"first magic byte only", [](uint32_t, uint32_t) { return Bytes{'G'}; }, EXTRACT_NEED_MORE},
        {"bad first byte", [](uint32_t, uint32_t) { return Bytes{'X'}; }, EXTRACT_UNWANTED},
        {"bad second byte",
         [](uint32_t, uint32_t) {
             return Bytes{'G', 'X'};
         },
         EXTRACT_UNWANTED},
        {"partial header",
         [](uint32_t s, uint32_t) {
             Bytes b = Reply(0x81, s, 0, "x");
             b.resize(15);
             return b;
         },
         EXTRACT_NEED_MORE},
        {"wrong version", [](uint32_t s, uint32_t) { return Reply(0x81, s, 0, "x", 2); },
         EXTRACT_FAILED},
        {"declared length over the limit",
         [](uint32_t s, uint32_t) { return Reply(0x81, s, 0, "", 1, 19993); }, EXTRACT_FAILED},
        {"largest declared length, data pending",
         [](uint32_t s, uint32_t) { return Reply(0x81, s, 0, "", 1, 19992); }, EXTRACT_NEED_MORE},
        {"data incomplete", [](uint32_t s, uint32_t) { return Reply(0x81, s, 0, "abc", 1, 4); },
         EXTRACT_NEED_MORE},
        {"late reply alone", [](uint32_t, uint32_t o) { return Reply(0x81, o, 0, "old"); },
         EXTRACT_UNWANTED},
        {"late reply then ours",
         [](uint32_t s, uint32_t o) {
             return Concat(Reply(0x81, o, 0, "old"), Reply(0x81, s, 0, "new"));
         },
         EXTRACT_COMPLETE},
        {"late reply then part of ours",
         [](uint32_t s, uint32_t o) {
             Bytes b = Concat(Reply(0x81, o, 0, "old"), Reply(0x81, s, 0, "new"));
             b.resize(b.size() - 1);
             return b;
         },
         EXTRACT_NEED_MORE},
        {"late reply then garbage",
         [](uint32_t, uint32_t o) { return Concat(Reply(0x81, o, 0, "old"), Bytes{'?'}); },
         EXTRACT_UNWANTED},
        {"our sequence, wrong kind", [](uint32_t s, uint32_t) { return Reply(0x91, s, 0, "x"); },
         EXTRACT_FAILED},
        {"our sequence, request kind echoed",
         [](uint32_t s, uint32_t) { return Reply(0x01, s, 0, "x"); }, EXTRACT_FAILED},
        {"complete with trailing bytes",
         [](uint32_t s, uint32_t) {
             return Concat(Reply(0x81, s, 0, "ok"), Bytes{'z', 'z'});
         },
         EXTRACT_COMPLETE},
    };
    for (const Case& c : cases) {
        Query q;
        const Bytes bytes = c.make(q.seq(), q.seq() - 1);
        EXPECT_EQ(q.Extract(bytes), c.expected) << c.name;
    }
}

TEST(SubStreamTest, DecodingNeverWritesPastTheRoom) {
    const struct {
        std::string data;
        uint32_t status;
    } cases[] = {{"", 0},
                 {"CPOD_LC_R2.10.3", 0},
                 {std::string(16, 'a'), 0},
                 {std::string(400, 'b'), 0},
                 {"", 0xFFFF}};
    for (const auto& c : cases) {
        Query q;
        ASSERT_EQ(q.Extract(Reply(0x81, q.seq(), c.status, c.data)), EXTRACT_COMPLETE);
        EXPECT_EQ(q.status, c.status);
        EXPECT_EQ(q.length, c.data.size()) << "the count the device sent";
        const size_t copied = std::min<size_t>(c.data.size(), sizeof q.buffer);
        EXPECT_EQ(std::string(q.buffer, copied), c.data.substr(0, copied));
        for (size_t i = copied; i < sizeof q.buffer; ++i)
            EXPECT_EQ(q.buffer[i], '#');
    }

    // A guard after a small room stays untouched.
    struct {
        char room[4];
        char guard[8];
    } area;
    memset(&area, 'g', sizeof area);
    CSubStream stream;
    DWORD length = 4, status;
    VSI_GetSerialNumber(stream, 0x800, &length, area.room, 0, &status);
    Bytes reply = Reply(0x81, stream.GetSequenceNumber(), 0, std::string(12, 'x'));
    ASSERT_EQ(stream.ExtractReply(reply.data(), static_cast<int>(reply.size())), EXTRACT_COMPLETE);
    EXPECT_EQ(std::string(area.guard, 8), std::string(8, 'g'));
    EXPECT_EQ(length, 12u);
}

TEST(SubStreamTest, MeasurementRepliesFillIntFieldsAndNegativeRoomCopiesNothing) {
    CSubStream stream;
    char buffer[8];
    memset(buffer, '#', sizeof buffer);
    int length = -5;
    int status = 1;
    MSI_GetCardDetails(stream, 2, &length, buffer, 0, &status);
    Bytes reply = Reply(0x91, stream.GetSequenceNumber(), 0, "MIR Release 3.4");
    ASSERT_EQ(stream.ExtractReply(reply.data(), static_cast<int>(reply.size())), EXTRACT_COMPLETE);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(length, 15);
    EXPECT_EQ(std::string(buffer, 8), std::string(8, '#'));

    CSubStream reset;
    int resetStatus = 99;
    MSI_Reset(reset, 0x1000000, &resetStatus);
    Bytes resetReply = Reply(0x92, reset.GetSequenceNumber(), 0, "ignored data");
    ASSERT_EQ(reset.ExtractReply(resetReply.data(), static_cast<int>(resetReply.size())),
              EXTRACT_COMPLETE);
    EXPECT_EQ(resetStatus, 0);
}

TEST(SubStreamTest, Get32IsBigEndian) {
    const unsigned char bytes[] = {0x00, 0x00, 0x01, 0x03};
    EXPECT_EQ(IFC_Get32(bytes), 259u);
    const unsigned char high[] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(IFC_Get32(high), 0xDEADBEEFu);
}

}  // namespace

namespace {

using gwsim::FrameStatus;

gwsim::Bytes U(const char* p, size_t n) {
    return gwsim::Bytes(p, p + n);
}

// The simulator's wire module is written apart from CSubStream: each checks
// the other, and both the layout written out byte by byte.
TEST(SubStreamTest, AgreesWithTheDeviceSideWireModule) {
    CSubStream stream;
    char path[] = "C:\\fw\\cable.hex";
    DWORD length = sizeof path;
    DWORD status = 0;
    VSI_GetSerialNumber(stream, 0x00000400, &length, path, 0x11223344, &status);
    gwsim::Bytes request = U(stream.GetRequestBytes(), size_t(stream.GetRequestLength()));
    gwsim::RequestFrame f = gwsim::ReadRequest(request.data(), request.size());
    ASSERT_EQ(f.status, FrameStatus::Complete);
    EXPECT_EQ(f.size, request.size());
    EXPECT_EQ(f.request.kind, 0x01);
    EXPECT_EQ(f.request.sequence, stream.GetSequenceNumber());
    EXPECT_EQ(f.request.code, 0x00000400u);
    EXPECT_EQ(f.request.qualifier, 0x11223344u);
    EXPECT_EQ(f.request.room, sizeof path);
    EXPECT_EQ(f.request.payload, U(path, sizeof path));
    EXPECT_EQ(gwsim::EncodeRequest(f.request), request);

    gwsim::Bytes reply = gwsim::ReplyFrame(0x01, stream.GetSequenceNumber(), 0, {'O', 'K'});
    EXPECT_EQ(stream.ExtractReply(reinterpret_cast<const char*>(reply.data()), int(reply.size())),
              0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(std::string(path, 2), "OK");

    const uint8_t literal_reply[] = {0x47, 0x57, 1, 0x81, 0, 0, 0, 0x11, 0,
                                     0,    0,    2, 0,    0, 0, 2, 'O',  'K'};
    EXPECT_EQ(gwsim::ReplyFrame(0x01, 0x11, 2, {'O', 'K'}),
              gwsim::Bytes(std::begin(literal_reply), std::end(literal_reply)));
    const uint8_t literal_request[] = {0x47, 0x57, 1, 0x11, 0, 0, 0,   5, 0, 0, 0, 9,  0,
                                       0,    0,    0, 0,    0, 0, 128, 0, 0, 0, 1, 'p'};
    f = gwsim::ReadRequest(literal_request, sizeof literal_request);
    ASSERT_EQ(f.status, FrameStatus::Complete);
    EXPECT_EQ(f.request.kind, 0x11);
    EXPECT_EQ(f.request.sequence, 5u);
    EXPECT_EQ(f.request.code, 9u);
    EXPECT_EQ(f.request.room, 128u);
    EXPECT_EQ(f.request.payload, gwsim::Bytes{'p'});
}

TEST(SubStreamTest, WireModuleFrameReader) {
    gwsim::Bytes whole = gwsim::EncodeRequest({0, 1, 0x01, 7, 0x20000000, 0, 128, {'a', 'b'}});
    gwsim::Bytes v2 = whole, oversized = whole;
    v2[2] = 2;
    oversized[21] = 0x01;  // payload length 0x10000 + 2
    struct Case {
        gwsim::Bytes bytes;
        FrameStatus status;
        size_t size;
    };
    const Case cases[] = {
        {{}, FrameStatus::Incomplete, 0},
        {{'G'}, FrameStatus::Incomplete, 0},
        {{'G', 'X'}, FrameStatus::BadMagic, 0},
        {{'X'}, FrameStatus::BadMagic, 0},
        {gwsim::Bytes(whole.begin(), whole.begin() + 23), FrameStatus::Incomplete, 0},
        {gwsim::Bytes(whole.begin(), whole.end() - 1), FrameStatus::Incomplete, 0},
        {whole, FrameStatus::Complete, 26},
        {v2, FrameStatus::BadVersion, 26},
        {oversized, FrameStatus::Oversized, 0},
    };
    for (const Case& k : cases) {
        gwsim::RequestFrame f = gwsim::ReadRequest(k.bytes.data(), k.bytes.size());
        EXPECT_EQ(f.status, k.status) << gwsim::ToHex(k.bytes);
        EXPECT_EQ(f.size, k.size) << gwsim::ToHex(k.bytes);
    }
}

}  // namespace
