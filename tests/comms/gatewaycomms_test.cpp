// The transport against real TCP peers on loopback.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/loopback.h"
#include "tests/support/peer.h"
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
using Access = CGatewayCommsTestAccess;
using Ms = std::chrono::milliseconds;
using std::this_thread::sleep_for;

const bool kWinsock = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0;
}();

// One text query and the fields its reply fills.
struct Query {
    CSubStream stream;
    char buffer[128] = {};
    DWORD length = sizeof buffer, status = 0;
    Query() { VSI_GetSerialNumber(stream, 0x20000000, &length, buffer, 0, &status); }
    // The text, and the length beyond the buffer.
    std::string Text() const {
        return std::string(buffer, std::min<DWORD>(length, sizeof buffer)) +
               (length > sizeof buffer ? "/" + std::to_string(length) : "");
    }
};

// A peer on loopback that runs script on the one connection it accepts and
// then closes it.
struct Peer {
    uint16_t port = 0;
    int listener = peer::Listen(&port);
    std::thread thread;
    explicit Peer(std::function<void(int)> script)
        : thread([this, script] {
              int fd = peer::Accept(listener, 10000);
              if (fd >= 0)
                  script(fd);
              peer::Close(fd);
          }) {}
    ~Peer() {
        thread.join();
        peer::Close(listener);
    }
    std::unique_ptr<CGatewayComms> Connect() {
        std::unique_ptr<CGatewayComms> comms(new CGatewayComms(port));
        comms->SetIPAddress(inet_addr("127.0.0.1"));
        EXPECT_TRUE(comms->OpenSocket());
        return comms;
    }
};

// The sequence number of the next request, or -1 when the connection ended.
int64_t Request(int fd) {
    uint8_t h[24];
    if (peer::RecvUpTo(fd, h, 24, 10000) < 24)
        return -1;
    std::string payload((h[20] << 24) | (h[21] << 16) | (h[22] << 8) | h[23], '\0');
    if (peer::RecvUpTo(fd, &payload[0], payload.size(), 10000) < payload.size())
        return -1;
    return (uint32_t(h[4]) << 24) | (h[5] << 16) | (h[6] << 8) | h[7];
}

// A reply frame as a device sends it.
std::string Frame(int64_t seq, const std::string& data, char kind = '\x81',
                  uint32_t declared = ~0u) {
    std::string f = {'G', 'W', 1, kind};
    for (uint32_t v : {uint32_t(seq), 0u, declared == ~0u ? uint32_t(data.size()) : declared})
        for (int s = 24; s >= 0; s -= 8)
            f += char(v >> s);
    return f + data;
}

void Send(int fd, const std::string& bytes, int pauseMs = 0) {
    peer::SendAll(fd, bytes.data(), bytes.size());
    sleep_for(Ms(pauseMs));
}

// A reply of kText in segments ending at cuts, 30 ms apart.
const char kText[] = "CPOD_LC_R2.10.3";
std::function<void(int, int64_t)> Cut(std::vector<size_t> cuts) {
    return [cuts](int fd, int64_t s) {
        size_t from = 0;
        for (size_t cut : cuts)
            Send(fd, Frame(s, kText).substr(from, cut - from), 30), from = cut;
        Send(fd, Frame(s, kText).substr(from));
    };
}

// One request, the reply as the row sends it: the exchange's result, its
// text and how long it took.
TEST(GatewayCommsTest, OneExchange) {
    enum { kWake = 1, kCut = 2 };
    const std::string big(19992, 'b');
    const struct {
        std::function<void(int fd, int64_t seq)> reply;
        int timeout;
        std::string text;  // empty: the exchange fails
        int least, most;   // ms
        int flags = 0;     // kWake: the event is set without data; kCut: the peer closes
    } cases[] = {
        // Whole, or in segments.
        {Cut({}), 2000, kText, 0, 2000},
        {Cut({1, 2, 15}), 2000, kText, 0, 2000},
        {Cut({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), 2000, kText, 0, 2000},
        {Cut({16, 20}), 2000, kText, 0, 2000},
        // Unwanted bytes restart the frame and late replies are skipped...
        {[](int fd, int64_t s) { Send(fd, "noise", 100), Send(fd, Frame(s, "fresh")); }, 700,
         "fresh", 0, 700},
        {[](int fd, int64_t s) {
             Send(fd, Frame(s - 1, "stale"), 100), Send(fd, Frame(s, "fresh"));
         },
         700, "fresh", 0, 700},
        {[](int fd, int64_t s) { Send(fd, Frame(s - 1, "stale") + Frame(s, "fresh")); }, 700,
         "fresh", 0, 700},
        // ...but garbage that reaches the PC with the reply is dropped with it.
        {[](int fd, int64_t s) { Send(fd, "noise" + Frame(s, "fresh")); }, 700, "", 0, 3000},
        // Failed replies end the exchange at once.
        {[](int fd, int64_t s) { Send(fd, Frame(s, "x", '\x92')); }, 5000, "", 0, 2000},
        {[](int fd, int64_t s) { Send(fd, Frame(s, "x", '\x81', 19993)); }, 5000, "", 0, 2000},
        // A skipped late reply, then a frame that cannot fit in what is left.
        {[&](int fd, int64_t s) {
             Send(fd, (Frame(s - 1, std::string(100, 'o')) + Frame(s, big)).substr(0, 20008));
         },
         8000, "", 0, 4000},
        // The largest reply is assembled and copied up to the room.
        {[](int fd, int64_t s) { Send(fd, Frame(s, std::string(19992, 'z'))); }, 2000,
         std::string(128, 'z') + "/19992", 0, 2000},
        // Wake-ups of the event without data do not end the wait.
        {[](int fd, int64_t s) { Send(fd, "", 300), Send(fd, Frame(s, "late but fine")); }, 2000,
         "late but fine", 250, 2000, kWake},
        // A peer closing mid-reply: the close itself does not wake the wait.
        {[](int fd, int64_t s) { Send(fd, Frame(s, "cut short").substr(0, 10)); }, 600, "", 500,
         3000, kCut},
    };
    for (const auto& c : cases) {
        std::atomic<bool> seen{false};
        Peer p([&](int fd) {
            int64_t s = Request(fd);
            seen = true;
            c.reply(fd, s);
            if (!(c.flags & kCut))
                peer::WaitClosed(fd, 10000);
        });
        auto comms = p.Connect();
        std::thread waker([&] {
            while ((c.flags & kWake) && !seen)
                sleep_for(Ms(1));
            for (int i = 0; (c.flags & kWake) && i < 3; ++i, sleep_for(Ms(20)))
                WSASetEvent(Access::Event(*comms));
        });
        Query q;
        const auto start = Clock::now();
        EXPECT_EQ(comms->ExecuteSubCommand(q.stream, c.timeout), !c.text.empty()) << &c - cases;
        const auto took = Clock::now() - start;
        waker.join();
        EXPECT_TRUE(c.text.empty() || (q.Text() == c.text && q.status == 0)) << &c - cases;
        EXPECT_TRUE(took >= Ms(c.least) && took < Ms(c.most)) << &c - cases;
        EXPECT_TRUE(!(c.flags & kCut) || q.status == 0xFFFFFFFFu) << q.status;
    }
}

TEST(GatewayCommsTest, ZeroTimeoutNeedsTheReplyThereAndMinusOneWaitsWithoutLimit) {
    std::atomic<bool> sent{false};
    Peer p([&](int fd) {
        Send(fd, Frame(Request(fd), "ready"));
        sent = true;
        int64_t second = Request(fd);
        Send(fd, "", 200), Send(fd, Frame(second, "in transit"));
        int64_t third = Request(fd);
        Send(fd, "", 1500), Send(fd, Frame(third, "slow"));
        peer::WaitClosed(fd, 5000);
    });
    auto comms = p.Connect();
    Query ready, inTransit, slow;
    ASSERT_TRUE(Access::Send(*comms, ready.stream));
    while (!sent)
        sleep_for(Ms(1));
    sleep_for(Ms(50));  // loopback delivery
    EXPECT_TRUE(Access::Wait(*comms, ready.stream, 0));
    EXPECT_EQ(ready.Text(), "ready");
    EXPECT_FALSE(comms->ExecuteSubCommand(inTransit.stream, 0));
    EXPECT_TRUE(comms->ExecuteSubCommand(slow.stream, -1));
    EXPECT_EQ(slow.Text(), "slow");
}

// A fresh transport holds nothing; with nothing listening, opening takes
// five waits and keeps the socket, on which sending fails at once.
TEST(GatewayCommsTest, FreshTransportAndNothingListening) {
    ASSERT_TRUE(kWinsock);
    zrtest::AddressHole hole;
    CGatewayComms comms(9191);
    EXPECT_FALSE(comms.IsSocketOpen());
    EXPECT_EQ(comms.GetIPAddress(), 0u);
    Query q, r;
    EXPECT_FALSE(comms.ExecuteSubCommand(q.stream, 100)) << "nothing to send on";
    comms.CloseSocket();
    comms.CloseSocket();
    EXPECT_FALSE(comms.IsSocketOpen());
    comms.SetIPAddress(inet_addr(hole.address().c_str()));
    auto start = Clock::now();
    EXPECT_FALSE(comms.OpenSocket());
    EXPECT_TRUE(Clock::now() - start >= Ms(4000) && Clock::now() - start <= Ms(8000));
    EXPECT_TRUE(comms.IsSocketOpen());
    start = Clock::now();
    EXPECT_FALSE(comms.ExecuteSubCommand(r.stream, 5000));
    EXPECT_LT(Clock::now() - start, Ms(1000));
    comms.CloseSocket();
    EXPECT_FALSE(comms.IsSocketOpen());
    comms.CloseSocket();
}

TEST(GatewayCommsTest, NewAddressKeepsTheConnectionNoOldReplyBytesAndDestructionCloses) {
    std::atomic<bool> closed{false};
    {
        Peer p([&](int fd) {
            for (const char* text : {"a long first reply from the same peer", "same peer"})
                Send(fd, Frame(Request(fd), text));
            closed = peer::WaitClosed(fd, 5000);
        });
        auto comms = p.Connect();
        Query first, second;
        EXPECT_TRUE(comms->ExecuteSubCommand(first.stream, 2000));
        comms->SetIPAddress(inet_addr("127.0.0.9"));
        EXPECT_EQ(comms->GetIPAddress(), inet_addr("127.0.0.9"));
        EXPECT_TRUE(comms->ExecuteSubCommand(second.stream, 2000));
        EXPECT_EQ(second.Text(), "same peer");
        const size_t frame = Frame(0, "same peer").size();
        const char* buffer = Access::Buffer(*comms);
        EXPECT_EQ(std::string(buffer + frame, buffer + 256), std::string(256 - frame, '\0'));
    }
    EXPECT_TRUE(closed);
}

}  // namespace
