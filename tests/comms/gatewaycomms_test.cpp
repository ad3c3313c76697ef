// The transport against real TCP peers on loopback.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "peer.h"
#include "tests/support/loopback.h"
#include "zodaruruvizi/zodaruruvizi.h"

class CGatewayCommsTestAccess {
public:
    static WSAEVENT Event(CGatewayComms& comms) { return comms.m_Event; }
    static const char* Buffer(CGatewayComms& comms) { return comms.m_pReceiveBuffer; }
    static bool Send(CGatewayComms& comms, CSubStream& stream) { return comms.SendRequest(stream); }
    static bool Wait(CGatewayComms& comms, CSubStream& stream, int timeoutMs) {
        return comms.WaitForReply(stream, timeoutMs);
    }
};

namespace {

using Clock = std::chrono::steady_clock;
using zrtest::PeerConnection;
using zrtest::ReplyFrame;
using zrtest::ScriptedPeer;

class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};
const auto* const kWinsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

// One text query and the fields its reply fills.
struct Query {
    CSubStream stream;
    char buffer[128];
    DWORD length = sizeof buffer;
    DWORD status = 0;
    explicit Query(DWORD code = 0x20000000) {
        memset(buffer, 0, sizeof buffer);
        VSI_GetSerialNumber(stream, code, &length, buffer, 0, &status);
    }
    std::string Text() const { return std::string(buffer, length < sizeof buffer ? length : 0); }
};

std::unique_ptr<CGatewayComms> Connect(const ScriptedPeer& peer) {
    std::unique_ptr<CGatewayComms> comms(new CGatewayComms(peer.port()));
    comms->SetIPAddress(inet_addr("127.0.0.1"));
    EXPECT_TRUE(comms->OpenSocket());
    return comms;
}

std::vector<char> Slice(const std::vector<char>& bytes, size_t from, size_t to) {
    return std::vector<char>(bytes.begin() + from, bytes.begin() + std::min(to, bytes.size()));
}

TEST(GatewayCommsTest, FreshTransportHoldsNothing) {
    CGatewayComms comms(9191);
    EXPECT_FALSE(comms.IsSocketOpen());
    EXPECT_EQ(comms.GetIPAddress(), 0u);
    Query q;
    EXPECT_FALSE(comms.ExecuteSubCommand(q.stream, 100)) << "nothing to send on";
    comms.CloseSocket();
    comms.CloseSocket();
    EXPECT_FALSE(comms.IsSocketOpen());
}

TEST(GatewayCommsTest, RepliesArriveWholeOrInSegments) {
    const struct {
        const char* name;
        std::vector<size_t> cuts;  // segment boundaries within the frame
    } cases[] = {
        {"whole", {}},
        {"header split", {1, 2, 15}},
        {"byte by byte header", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"data split", {16, 20}},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer([&](PeerConnection& conn) {
            zrtest::PeerRequest request = conn.ReadRequest();
            const auto frame = ReplyFrame(0x81, request.sequence, 0, "CPOD_LC_R2.10.3");
            size_t from = 0;
            for (size_t cut : c.cuts) {
                conn.Send(Slice(frame, from, cut));
                conn.Pause(30);
                from = cut;
            }
            conn.Send(Slice(frame, from, frame.size()));
            conn.WaitForClose(5000);
        });
        auto comms = Connect(peer);
        Query q;
        EXPECT_TRUE(comms->ExecuteSubCommand(q.stream, 2000)) << c.name;
        EXPECT_EQ(q.status, 0u) << c.name;
        EXPECT_EQ(q.Text(), "CPOD_LC_R2.10.3") << c.name;
    }
}

TEST(GatewayCommsTest, UnwantedBytesRestartAndLateRepliesAreSkipped) {
    const struct {
        const char* name;
        bool garbageFirst;
        bool lateFirst;
        bool sameSegment;
        bool ok;
    } cases[] = {
        {"garbage alone first", true, false, false, true},
        {"late reply alone first", false, true, false, true},
        {"late reply in the same segment", false, true, true, true},
        // Garbage that reaches the PC with the reply is dropped with it.
        {"garbage in the same segment", true, false, true, false},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer([&](PeerConnection& conn) {
            zrtest::PeerRequest request = conn.ReadRequest();
            std::vector<char> first;
            if (c.garbageFirst)
                first = {'n', 'o', 'i', 's', 'e'};
            if (c.lateFirst)
                first = ReplyFrame(0x81, request.sequence - 1, 0, "stale");
            const auto reply = ReplyFrame(0x81, request.sequence, 0, "fresh");
            if (c.sameSegment) {
                first.insert(first.end(), reply.begin(), reply.end());
                conn.Send(first);
            } else {
                conn.Send(first);
                conn.Pause(100);
                conn.Send(reply);
            }
            conn.WaitForClose(5000);
        });
        auto comms = Connect(peer);
        Query q;
        EXPECT_EQ(comms->ExecuteSubCommand(q.stream, 700), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(q.Text(), "fresh") << c.name;
        }
    }
}

TEST(GatewayCommsTest, FailedRepliesEndTheExchange) {
    const struct {
        const char* name;
        uint8_t kind;
        uint32_t declared;
    } cases[] = {{"wrong kind", 0x92, UINT32_MAX}, {"declared length too long", 0x81, 19993}};
    for (const auto& c : cases) {
        ScriptedPeer peer([&](PeerConnection& conn) {
            zrtest::PeerRequest request = conn.ReadRequest();
            conn.Send(ReplyFrame(c.kind, request.sequence, 0, "x", c.declared));
            conn.WaitForClose(5000);
        });
        auto comms = Connect(peer);
        Query q;
        const auto start = Clock::now();
        EXPECT_FALSE(comms->ExecuteSubCommand(q.stream, 5000)) << c.name;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << c.name << ": no wait";
    }
}

TEST(GatewayCommsTest, AReplyThatFillsTheBufferFailsAtOnce) {
    ScriptedPeer peer([&](PeerConnection& conn) {
        zrtest::PeerRequest request = conn.ReadRequest();
        // A skipped late reply followed by a frame that cannot fit in what is left.
        std::vector<char> bytes = ReplyFrame(0x81, request.sequence - 1, 0, std::string(100, 'o'));
        const auto big = ReplyFrame(0x81, request.sequence, 0, std::string(19992, 'b'));
        bytes.insert(bytes.end(), big.begin(), big.end());
        bytes.resize(20008);
        conn.Send(bytes);
        conn.WaitForClose(10000);
    });
    auto comms = Connect(peer);
    Query q;
    const auto start = Clock::now();
    EXPECT_FALSE(comms->ExecuteSubCommand(q.stream, 8000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

TEST(GatewayCommsTest, LargestReplyIsAssembledAndCopiedUpToTheRoom) {
    ScriptedPeer peer([&](PeerConnection& conn) {
        zrtest::PeerRequest request = conn.ReadRequest();
        conn.Send(ReplyFrame(0x81, request.sequence, 0, std::string(19992, 'z')));
        conn.WaitForClose(5000);
    });
    auto comms = Connect(peer);
    Query q;
    EXPECT_TRUE(comms->ExecuteSubCommand(q.stream, 2000));
    EXPECT_EQ(q.length, 19992u);
    EXPECT_EQ(std::string(q.buffer, sizeof q.buffer), std::string(sizeof q.buffer, 'z'));
}

TEST(GatewayCommsTest, ASpuriousWakeUpDoesNotEndTheWait) {
    std::promise<void> requestSeen;
    ScriptedPeer peer([&](PeerConnection& conn) {
        zrtest::PeerRequest request = conn.ReadRequest();
        requestSeen.set_value();
        conn.Pause(300);
        conn.Send(ReplyFrame(0x81, request.sequence, 0, "late but fine"));
        conn.WaitForClose(5000);
    });
    auto comms = Connect(peer);
    WSAEVENT event = CGatewayCommsTestAccess::Event(*comms);
    std::thread waker([&] {
        requestSeen.get_future().wait();
        for (int i = 0; i < 3; ++i) {
            WSASetEvent(event);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Query q;
    EXPECT_TRUE(comms->ExecuteSubCommand(q.stream, 2000));
    waker.join();
    EXPECT_EQ(q.Text(), "late but fine");
}

TEST(GatewayCommsTest, ZeroTimeoutNeedsTheReplyThereAndMinusOneWaitsWithoutLimit) {
    std::promise<void> replySent;
    ScriptedPeer peer([&](PeerConnection& conn) {
        zrtest::PeerRequest first = conn.ReadRequest();
        conn.Send(ReplyFrame(0x81, first.sequence, 0, "ready"));
        replySent.set_value();
        zrtest::PeerRequest second = conn.ReadRequest();
        conn.Pause(200);
        conn.Send(ReplyFrame(0x81, second.sequence, 0, "in transit"));
        zrtest::PeerRequest third = conn.ReadRequest();
        conn.Pause(1500);
        conn.Send(ReplyFrame(0x81, third.sequence, 0, "slow"));
        conn.WaitForClose(5000);
    });
    auto comms = Connect(peer);
    Query ready;
    ASSERT_TRUE(CGatewayCommsTestAccess::Send(*comms, ready.stream));
    replySent.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // loopback delivery
    EXPECT_TRUE(CGatewayCommsTestAccess::Wait(*comms, ready.stream, 0));
    EXPECT_EQ(ready.Text(), "ready");
    Query inTransit;
    EXPECT_FALSE(comms->ExecuteSubCommand(inTransit.stream, 0));
    Query slow;
    EXPECT_TRUE(comms->ExecuteSubCommand(slow.stream, -1));
    EXPECT_EQ(slow.Text(), "slow");
}

TEST(GatewayCommsTest, APeerClosingMidReplyEndsInATimeout) {
    ScriptedPeer peer([&](PeerConnection& conn) {
        zrtest::PeerRequest request = conn.ReadRequest();
        conn.Send(Slice(ReplyFrame(0x81, request.sequence, 0, "cut short"), 0, 10));
        conn.Close();
    });
    auto comms = Connect(peer);
    Query q;
    const auto start = Clock::now();
    EXPECT_FALSE(comms->ExecuteSubCommand(q.stream, 600));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(500)) << "the close itself does not wake the wait";
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    EXPECT_EQ(q.status, 0xFFFFFFFFu);
}

TEST(GatewayCommsTest, NothingListeningTakesFiveWaitsAndKeepsTheSocket) {
    zrtest::AddressHole hole;
    CGatewayComms comms(9191);
    comms.SetIPAddress(inet_addr(hole.address().c_str()));
    const auto start = Clock::now();
    EXPECT_FALSE(comms.OpenSocket());
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::seconds(4));
    EXPECT_LE(elapsed, std::chrono::seconds(8));
    EXPECT_TRUE(comms.IsSocketOpen());
    Query q;
    const auto sendStart = Clock::now();
    EXPECT_FALSE(comms.ExecuteSubCommand(q.stream, 5000));
    EXPECT_LT(Clock::now() - sendStart, std::chrono::seconds(1))
        << "an unconnected socket fails at once";
    comms.CloseSocket();
    EXPECT_FALSE(comms.IsSocketOpen());
    comms.CloseSocket();
}

TEST(GatewayCommsTest, ChangingTheAddressKeepsTheOpenConnectionAndNoOldReplyBytes) {
    ScriptedPeer peer([&](PeerConnection& conn) {
        for (const char* text : {"a long first reply from the same peer", "same peer"}) {
            zrtest::PeerRequest request = conn.ReadRequest();
            if (!request.ok)
                return;
            conn.Send(ReplyFrame(0x81, request.sequence, 0, text));
        }
        conn.WaitForClose(5000);
    });
    auto comms = Connect(peer);
    Query first;
    EXPECT_TRUE(comms->ExecuteSubCommand(first.stream, 2000));
    comms->SetIPAddress(inet_addr("127.0.0.9"));
    EXPECT_EQ(comms->GetIPAddress(), inet_addr("127.0.0.9"));
    Query second;
    EXPECT_TRUE(comms->ExecuteSubCommand(second.stream, 2000));
    EXPECT_EQ(second.Text(), "same peer");
    const size_t frame = ReplyFrame(0x81, 0, 0, "same peer").size();
    const char* buffer = CGatewayCommsTestAccess::Buffer(*comms);
    EXPECT_EQ(std::string(buffer + frame, buffer + 256), std::string(256 - frame, '\0'));
}

TEST(GatewayCommsTest, DestructionClosesTheConnection) {
    std::atomic<bool> closed{false};
    ScriptedPeer peer([&](PeerConnection& conn) { closed = conn.WaitForClose(5000); });
    {
        auto comms = Connect(peer);
        EXPECT_TRUE(comms->IsSocketOpen());
    }
    peer.Join();
    EXPECT_TRUE(closed);
}

}  // namespace
