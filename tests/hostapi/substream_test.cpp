// CSubStream's frames, checked against the simulator's wire module (written
// apart from it) and against literal bytes.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "hostapi/substream.h"
#include "tools/gwsim/wire.h"

namespace {

using Bytes = std::vector<char>;
using gwsim::FrameStatus;

// A reply frame as a device sends it.
Bytes R(uint8_t kind, uint32_t seq, const std::string& data, uint32_t status = 0, int version = 1,
        int declared = -1) {
    gwsim::Bytes f = gwsim::ReplyFrame(0, seq, status, gwsim::Bytes(data.begin(), data.end()));
    f[2] = static_cast<uint8_t>(version);
    f[3] = kind;
    if (declared >= 0) {
        f.resize(12);
        gwsim::Put32(&f, static_cast<uint32_t>(declared));
        f.insert(f.end(), data.begin(), data.end());
    }
    return Bytes(f.begin(), f.end());
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes Cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}
gwsim::Bytes U(const char* p, size_t n) {
    return gwsim::Bytes(p, p + n);
}

struct Query {
    CSubStream stream;
    char buffer[16];
    DWORD length = sizeof buffer, status = 0;
    Query() {
        memset(buffer, '#', sizeof buffer);
        VSI_GetSerialNumber(stream, 0x20000000, &length, buffer, 0, &status);
    }
    uint32_t seq() const { return stream.GetSequenceNumber(); }
    EXTRACT_STATUS Extract(const Bytes& b) {
        return stream.ExtractReply(b.data(), static_cast<int>(b.size()));
    }
};

TEST(SubStreamTest, RequestAndReplyAgreeWithTheWireModuleAndLiteralBytes) {
    CSubStream stream;
    char path[] = "C:\\fw\\cable.hex";
    DWORD length = sizeof path, status = 0;
    VSI_GetSerialNumber(stream, 0x00000400, &length, path, 0x11223344, &status);
    EXPECT_EQ(status, 0xFFFFFFFFu);  // no reply reads as failure
    EXPECT_NE(stream.GetSequenceNumber(), 0u);
    gwsim::Bytes request = U(stream.GetRequestBytes(), size_t(stream.GetRequestLength()));
    gwsim::RequestFrame f = gwsim::ReadRequest(request.data(), request.size());
    ASSERT_EQ(f.status, FrameStatus::Complete);
    EXPECT_EQ(std::make_pair(f.size, request.size()),
              std::make_pair(24 + sizeof path, 24 + sizeof path));
    const gwsim::RecordedRequest expected{0,     1,          0x01, stream.GetSequenceNumber(),
                                          0x400, 0x11223344, 16,   U(path, sizeof path)};
    EXPECT_EQ(gwsim::EncodeRequest(expected), request);
    EXPECT_EQ(f.request.sequence, stream.GetSequenceNumber());
    EXPECT_EQ(f.request.payload, U(path, sizeof path));

    gwsim::Bytes reply = gwsim::ReplyFrame(0x01, stream.GetSequenceNumber(), 0, {'O', 'K'});
    EXPECT_EQ(stream.ExtractReply(reinterpret_cast<const char*>(reply.data()), int(reply.size())),
              EXTRACT_COMPLETE);
    EXPECT_EQ(std::to_string(status) + "/" + std::to_string(length) + "/" + std::string(path, 2),
              "0/2/OK");

    const uint8_t lreply[] = {0x47, 0x57, 1, 0x81, 0, 0, 0, 0x11, 0, 0, 0, 2, 0, 0, 0, 2, 'O', 'K'};
    EXPECT_EQ(gwsim::ReplyFrame(0x01, 0x11, 2, {'O', 'K'}), gwsim::Bytes(lreply, lreply + 18));
    const uint8_t lrequest[] = {0x47, 0x57, 1, 0x11, 0, 0, 0,   5, 0, 0, 0, 9,  0,
                                0,    0,    0, 0,    0, 0, 128, 0, 0, 0, 1, 'p'};
    f = gwsim::ReadRequest(lrequest, sizeof lrequest);
    ASSERT_EQ(f.status, FrameStatus::Complete);
    const auto& q = f.request;
    EXPECT_EQ(std::make_tuple(q.kind, q.sequence, q.code, q.qualifier, q.room, q.payload),
              std::make_tuple(uint8_t(0x11), 5u, 9u, 0u, 128u, gwsim::Bytes{'p'}));
}

TEST(SubStreamTest, OnlyDataCarryingCodesSendTheBuffer) {
    const struct {
        uint8_t kind;
        uint32_t code;
        int payload;
    } cases[] = {{0x01, 0x20000000, 0}, {0x01, 0x00008000, 128}, {0x01, 0x00000400, 128},
                 {0x11, 2, 0},          {0x11, 9, 128},          {0x02, 0x80000000, 0},
                 {0x12, 0x1000000, 0}};
    for (const auto& c : cases) {
        CSubStream stream;
        char buffer[128] = "secret";
        DWORD length = 128, status;
        int ilength = 128, istatus = 5;
        if (c.kind == 0x01)
            VSI_GetSerialNumber(stream, c.code, &length, buffer, 0, &status);
        else if (c.kind == 0x11)
            MSI_GetCardDetails(stream, static_cast<int>(c.code), &ilength, buffer, 0, &istatus);
        else if (c.kind == 0x02)
            VSI_Reset(stream, c.code, &status);
        else
            MSI_Reset(stream, static_cast<int>(c.code), &istatus);
        EXPECT_TRUE(c.kind != 0x11 || istatus == 5) << "measurement requests leave the status";
        ASSERT_EQ(stream.GetRequestLength(), 24 + c.payload) << std::hex << c.code;
        EXPECT_EQ(static_cast<uint8_t>(stream.GetRequestBytes()[3]), c.kind);
        EXPECT_EQ(gwsim::Get32(reinterpret_cast<const uint8_t*>(stream.GetRequestBytes()) + 8),
                  c.code);
    }
}

TEST(SubStreamTest, SequenceNumbersAreUniqueAndRebuildingReplacesTheRequest) {
    std::set<uint32_t> seen;
    Query q;
    for (int i = 0; i < 1000; ++i) {
        VSI_GetSerialNumber(q.stream, 0x800, &q.length, q.buffer, 0, &q.status);
        EXPECT_TRUE(seen.insert(q.seq()).second);
    }
    const uint32_t old = q.seq();
    VSI_GetSerialNumber(q.stream, 0x800, &q.length, q.buffer, 0, &q.status);
    EXPECT_EQ(q.Extract(R(0x81, old, "abcd")), EXTRACT_UNWANTED);
}

TEST(SubStreamTest, ClassifiesEveryKindOfByteSequence) {
    using S = uint32_t;
    const struct {
        std::function<Bytes(S s, S o)> make;  // s: our sequence, o: an earlier one
        EXTRACT_STATUS expected;
    } cases[] = {{[](S, S) { return Bytes(); }, EXTRACT_NEED_MORE},
                 {[](S, S) { return B("G"); }, EXTRACT_NEED_MORE},
                 {[](S, S) { return B("X"); }, EXTRACT_UNWANTED},
                 {[](S, S) { return B("GX"); }, EXTRACT_UNWANTED},
                 {[](S s, S) { return Cut(R(0x81, s, "x"), 15); }, EXTRACT_NEED_MORE},
                 {[](S s, S) { return R(0x81, s, "x", 0, 2); }, EXTRACT_FAILED},
                 {[](S s, S) { return R(0x81, s, "", 0, 1, 19993); }, EXTRACT_FAILED},
                 {[](S s, S) { return R(0x81, s, "", 0, 1, 19992); }, EXTRACT_NEED_MORE},
                 {[](S s, S) { return R(0x81, s, "abc", 0, 1, 4); }, EXTRACT_NEED_MORE},
                 {[](S, S o) { return R(0x81, o, "old"); }, EXTRACT_UNWANTED},
                 {[](S s, S o) { return R(0x81, o, "old") + R(0x81, s, "new"); }, EXTRACT_COMPLETE},
                 {[](S s, S o) { return Cut(R(0x81, o, "old") + R(0x81, s, "new"), 37); },
                  EXTRACT_NEED_MORE},
                 {[](S, S o) { return R(0x81, o, "old") + B("?"); }, EXTRACT_UNWANTED},
                 {[](S s, S) { return R(0x91, s, "x"); }, EXTRACT_FAILED},
                 {[](S s, S) { return R(0x01, s, "x"); }, EXTRACT_FAILED},
                 {[](S s, S) { return R(0x81, s, "ok") + B("zz"); }, EXTRACT_COMPLETE}};
    int row = 0;
    for (const auto& c : cases) {
        Query q;
        EXPECT_EQ(q.Extract(c.make(q.seq(), q.seq() - 1)), c.expected) << row++;
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
        ASSERT_EQ(q.Extract(R(0x81, q.seq(), c.data, c.status)), EXTRACT_COMPLETE);
        EXPECT_EQ(q.status, c.status);
        EXPECT_EQ(q.length, c.data.size()) << "the count the device sent";
        const size_t n = std::min<size_t>(c.data.size(), sizeof q.buffer);
        EXPECT_EQ(std::string(q.buffer, sizeof q.buffer),
                  c.data.substr(0, n) + std::string(sizeof q.buffer - n, '#'));
    }
    struct {
        char room[4];
        char guard[8];
    } area;
    memset(&area, 'g', sizeof area);
    CSubStream stream;
    DWORD length = 4, status;
    VSI_GetSerialNumber(stream, 0x800, &length, area.room, 0, &status);
    Bytes reply = R(0x81, stream.GetSequenceNumber(), std::string(12, 'x'));
    ASSERT_EQ(stream.ExtractReply(reply.data(), static_cast<int>(reply.size())), EXTRACT_COMPLETE);
    EXPECT_EQ(std::string(area.guard, 8), std::string(8, 'g'));
    EXPECT_EQ(length, 12u);
}

TEST(SubStreamTest, MeasurementRepliesFillIntFieldsAndNegativeRoomCopiesNothing) {
    CSubStream stream, reset;
    char buffer[8];
    memset(buffer, '#', sizeof buffer);
    int length = -5, status = 1, resetStatus = 99;
    MSI_GetCardDetails(stream, 2, &length, buffer, 0, &status);
    Bytes reply = R(0x91, stream.GetSequenceNumber(), "MIR Release 3.4");
    ASSERT_EQ(stream.ExtractReply(reply.data(), static_cast<int>(reply.size())), EXTRACT_COMPLETE);
    EXPECT_EQ(std::make_pair(status, length), std::make_pair(0, 15));
    EXPECT_EQ(std::string(buffer, 8), std::string(8, '#'));
    MSI_Reset(reset, 0x1000000, &resetStatus);
    reply = R(0x92, reset.GetSequenceNumber(), "ignored data");
    ASSERT_EQ(reset.ExtractReply(reply.data(), static_cast<int>(reply.size())), EXTRACT_COMPLETE);
    EXPECT_EQ(resetStatus, 0);
    const unsigned char bytes[] = {0x00, 0x00, 0x01, 0x03, 0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(IFC_Get32(bytes), 259u);
    EXPECT_EQ(IFC_Get32(bytes + 4), 0xDEADBEEFu);
}

TEST(SubStreamTest, WireModuleFrameReader) {
    gwsim::Bytes whole = gwsim::EncodeRequest({0, 1, 0x01, 7, 0x20000000, 0, 128, {'a', 'b'}});
    gwsim::Bytes v2 = whole, oversized = whole;
    v2[2] = 2;
    oversized[21] = 0x01;  // payload length 0x10000 + 2
    const struct {
        gwsim::Bytes bytes;
        FrameStatus status;
        size_t size;
    } cases[] = {{{}, FrameStatus::Incomplete, 0},
                 {{'G'}, FrameStatus::Incomplete, 0},
                 {{'G', 'X'}, FrameStatus::BadMagic, 0},
                 {{'X'}, FrameStatus::BadMagic, 0},
                 {gwsim::Bytes(whole.begin(), whole.begin() + 23), FrameStatus::Incomplete, 0},
                 {gwsim::Bytes(whole.begin(), whole.end() - 1), FrameStatus::Incomplete, 0},
                 {whole, FrameStatus::Complete, 26},
                 {v2, FrameStatus::BadVersion, 26},
                 {oversized, FrameStatus::Oversized, 0}};
    for (const auto& k : cases) {
        gwsim::RequestFrame f = gwsim::ReadRequest(k.bytes.data(), k.bytes.size());
        EXPECT_EQ(f.status, k.status) << gwsim::ToHex(k.bytes);
        EXPECT_EQ(f.size, k.size) << gwsim::ToHex(k.bytes);
    }
}

}  // namespace
