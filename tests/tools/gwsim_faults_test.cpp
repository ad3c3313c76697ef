// Faults switched on in the simulated device, and bad input from the PC.
#include <gtest/gtest.h>

#include "tests/support/loopback.h"
#include "tests/support/frames.h"
#include "tools/gwsim/proxy.h"
#include "tools/gwsim/replay.h"
#include "tools/gwsim/simulator.h"

using rawclient::Bytes;
using rawclient::Client;
using rawclient::ConnectResult;
using rawclient::Request;
using rawclient::ToBytes;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

const milliseconds kWait(5000);
const char kLc[] = "CPOD_LC_R2.10.3";

std::unique_ptr<gwsim::Simulator> Start(gwsim::Family family = gwsim::Family::ZEL,
                                        gwsim::Options options = gwsim::Options()) {
    std::string error;
    gwsim::DeviceState s = gwsim::DeviceState::Default(family);
    s.lc_release = family == gwsim::Family::ZEL ? kLc : "MIR Release 3.4";
    auto sim = zrtest::StartSimulator(s, options, &error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

// The reply frame the device sends without faults for a ZEL LC query.
Bytes LcFrame(uint32_t seq) {
    return gwsim::ReplyFrame(0x01, seq, 0, ToBytes(kLc));
}

gwsim::Fault MakeFault(const std::string& spec) {
    gwsim::Fault f;
    std::string error;
    EXPECT_TRUE(gwsim::ParseFault(spec, &f, &error)) << error;
    return f;
}

// The details of the malformed-input events so far.
std::vector<std::string> Malformed(const gwsim::Simulator& sim) {
    std::vector<std::string> out;
    for (const gwsim::Event& e : sim.Events()) {
        if (e.type == gwsim::EventType::Malformed)
            out.push_back(e.detail);
    }
    return out;
}

struct Fixture {
    std::unique_ptr<gwsim::Simulator> sim;
    Client c;
    explicit Fixture(const std::string& fault_spec, gwsim::Family family = gwsim::Family::ZEL) {
        sim = Start(family);
        if (!sim)
            return;
        if (!fault_spec.empty())
            sim->AddFault(MakeFault(fault_spec));
        EXPECT_EQ(c.Connect(sim->address(), sim->port()), ConnectResult::Connected);
    }
};

TEST(GwsimFaults, StatusFaultCountsItsTimesAndSkipsTheEffect) {
    Fixture f("status:code=0x20000000,status=5,times=2");
    ASSERT_TRUE(f.sim);
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        auto r = f.c.Exchange(Request(0x01, seq, 0x20000000));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->seq, seq);
        EXPECT_EQ(r->status, seq <= 2 ? 5u : 0u);
        EXPECT_EQ(r->text(), seq <= 2 ? "" : kLc);
    }
    // Other codes are not concerned.
    auto prom = f.c.Exchange(Request(0x01, 4, 0x10000000));
    ASSERT_TRUE(prom);
    EXPECT_EQ(prom->status, 0u);

    // A status fault on an update: the update does not happen.
    f.sim->AddFault(MakeFault("status:code=0x400,status=3"));
    Bytes path = ToBytes("/nonexistent\\file.hex");
    path.push_back(0);
    auto up = f.c.Exchange(Request(0x01, 5, 0x400, 0, uint32_t(path.size()), path));
    ASSERT_TRUE(up);
    EXPECT_EQ(up->status, 3u);
}

TEST(GwsimFaults, StatusFaultWithDataAndQualifierAndKindFilters) {
    Fixture f("status:code=0x00020000,qualifier=0x48000000,status=0,data=XYZ");
    ASSERT_TRUE(f.sim);
    f.sim->AddFault(MakeFault("status:code=0x80000000,kind=2,status=9"));
    auto usb = f.c.Exchange(Request(0x01, 1, 0x00020000, 0x48000000));
    ASSERT_TRUE(usb);
    EXPECT_EQ(usb->text(), "XYZ");
    auto eth = f.c.Exchange(Request(0x01, 2, 0x00020000, 0x88000000));
    ASSERT_TRUE(eth);
    EXPECT_EQ(eth->text(), gwsim::DeviceState::Default(gwsim::Family::ZEL).mac_address);
    // Same code, other kind: the serial-number query is not faulted ...
    auto serial = f.c.Exchange(Request(0x01, 3, 0x80000000));
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->status, 0u);
    // ... the reset is, and so it does not reset.
    auto reset = f.c.Exchange(Request(0x02, 4, 0x80000000, 0, 0));
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->status, 9u);
    EXPECT_EQ(f.sim->ResetCount(), 0u);
    EXPECT_TRUE(f.c.Silent(milliseconds(50)));  // still connected
    f.sim->ClearFaults();
    auto usb2 = f.c.Exchange(Request(0x01, 5, 0x00020000, 0x48000000));
    ASSERT_TRUE(usb2);
    EXPECT_NE(usb2->text(), "XYZ");
}

TEST(GwsimFaults, NoReplyLeavesTheConnectionServing) {
    Fixture f("noreply:code=0x20000000,times=1");
    ASSERT_TRUE(f.sim);
    f.c.Send(Request(0x01, 1, 0x20000000));
    ASSERT_TRUE(f.sim->WaitForRequests(1, kWait));
    EXPECT_TRUE(f.c.Silent(milliseconds(200)));
    auto r = f.c.Exchange(Request(0x01, 2, 0x20000000));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 2u);
    EXPECT_EQ(r->text(), kLc);
}

TEST(GwsimFaults, SplitAnswerArrivesInSegments) {
    Fixture f("split:code=0x20000000,size=5,pause=100");
    ASSERT_TRUE(f.sim);
    f.c.Send(Request(0x01, 42, 0x20000000));
    Bytes expected = LcFrame(42), got;
    int reads = 0;
    auto begin = Clock::now();
    while (got.size() < expected.size()) {
        Bytes chunk = f.c.ReadSome();
        ASSERT_FALSE(chunk.empty());
        EXPECT_LE(chunk.size(), 5u);
        got.insert(got.end(), chunk.begin(), chunk.end());
        ++reads;
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(reads, int((expected.size() + 4) / 5));
    EXPECT_GE(Clock::now() - begin, milliseconds(100 * (reads - 1) - 50));
}

// The reply shaping, fault by fault, as the steps it makes of one reply.
TEST(GwsimFaults, ShapeReplyTable) {
    using gwsim::Step;
    Bytes frame = gwsim::ReplyFrame(0x01, 8, 0, ToBytes("LC42"));  // 20 bytes
    Bytes previous = gwsim::ReplyFrame(0x01, 7, 0, ToBytes("OLD"));
    Bytes previous_then_frame = previous;
    previous_then_frame.insert(previous_then_frame.end(), frame.begin(), frame.end());
    Bytes padded = ToBytes("LC42");
    padded.resize(12 + 16, '#');
    auto write = [](Bytes b) { return Step{Step::Write, b}; };
    auto wait = [](int ms) { return Step{Step::Wait, {}, ms}; };
    auto part = [&frame](size_t from, size_t to) {
        return Step{Step::Write, Bytes(frame.begin() + long(from), frame.begin() + long(to))};
    };
    struct Case {
        const char* spec;  // empty: no fault
        uint32_t room;
        Bytes previous;
        std::vector<Step> steps;
        bool sent;  // a complete frame was sent (a later late reply repeats it)
    };
    const Case cases[] = {
        {"", 128, {}, {write(frame)}, true},
        {"status:status=5,data=no",
         128,
         {},
         {write(gwsim::ReplyFrame(1, 8, 5, ToBytes("no")))},
         true},
        {"noreply", 128, {}, {}, false},
        {"split:size=8,pause=30",
         128,
         {},
         {part(0, 8), wait(30), part(8, 16), wait(30), part(16, 20)},
         true},
        {"late", 128, previous, {write(previous_then_frame)}, true},
        {"late:pause=50",
         128,
         {},
         {write(gwsim::ReplyFrame(1, 7, 0, ToBytes("LATE"))), wait(50), write(frame)},
         true},
        {"garbage:bytes=00ff", 128, {}, {write({0x00, 0xFF}), wait(1000), write(frame)}, true},
        {"oversize:mode=room", 12, {}, {write(gwsim::ReplyFrame(1, 8, 0, padded))}, true},
        {"oversize",
         128,
         {},
         {write(gwsim::EncodeReply({1, 0x81, 8, 0, 19993, Bytes(19993, 'X')}))},
         true},
        {"closemid:after=7",
         128,
         {},
         {part(0, 7), Step{Step::Close, {}, 0, "fault closemid"}},
         false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.spec);
        gwsim::Fault fault = *k.spec ? MakeFault(k.spec) : gwsim::Fault();
        Bytes sent;
        std::vector<Step> steps = gwsim::ShapeReply({1, 0x81, 8, 0, 4, ToBytes("LC42")}, k.room,
                                                    k.previous, *k.spec ? &fault : nullptr, &sent);
        ASSERT_EQ(steps.size(), k.steps.size());
        for (size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(steps[i].type, k.steps[i].type) << i;
            EXPECT_EQ(steps[i].bytes, k.steps[i].bytes) << i;
            EXPECT_EQ(steps[i].ms, k.steps[i].ms) << i;
        }
        EXPECT_EQ(!sent.empty(), k.sent);
    }
}

TEST(GwsimFaults, RefusingConnections) {
    auto sim = Start();
    ASSERT_TRUE(sim);
    sim->SetConnectionFault(gwsim::ConnectionFault::Refuse);
    EXPECT_FALSE(sim->IsListening());
    Client c;
    EXPECT_EQ(c.Connect(sim->address(), 9191), ConnectResult::Refused);
    sim->SetConnectionFault(gwsim::ConnectionFault::None);
    EXPECT_TRUE(sim->IsListening());
    Client c2;
    ASSERT_EQ(c2.Connect(sim->address(), 9191), ConnectResult::Connected);
    EXPECT_TRUE(c2.Exchange(Request(0x01, 1, 0x20000000)));
}

TEST(GwsimFaults, RefusingFromTheStart) {
    gwsim::Simulator sim(gwsim::DeviceState::Default(gwsim::Family::MIR), [] {
        gwsim::Options o;
        o.bind_address = zrtest::NextLoopbackAddress();
        return o;
    }());
    sim.SetConnectionFault(gwsim::ConnectionFault::Refuse);
    ASSERT_TRUE(sim.Start());
    Client c;
    EXPECT_EQ(c.Connect(sim.address(), 9181), ConnectResult::Refused);
}

TEST(GwsimFaults, ConnectionsThatNeverComplete) {
    auto sim = Start();
    ASSERT_TRUE(sim);
    sim->SetConnectionFault(gwsim::ConnectionFault::NeverComplete);
    Client c;
    auto begin = Clock::now();
    EXPECT_EQ(c.Connect(sim->address(), 9191, milliseconds(2500)), ConnectResult::TimedOut) << [&] {
        std::string events;  // how the simulator set the fault up
        for (const auto& e : sim->Events())
            events += std::string(gwsim::EventTypeName(e.type)) + ": " + e.detail + "\n";
        return events;
    }();
    EXPECT_GE(Clock::now() - begin, milliseconds(2400));
    EXPECT_EQ(sim->ConnectionCount(), 0u);
    sim->SetConnectionFault(gwsim::ConnectionFault::None);
    Client c2;
    ASSERT_EQ(c2.Connect(sim->address(), 9191), ConnectResult::Connected);
    auto r = c2.Exchange(Request(0x01, 1, 0x20000000));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text(), kLc);
}

// Bad input, one table for the simulated device and the replay: each case is
// followed by a healthy request on a new connection.
TEST(GwsimFaults, MalformedInputAlikeInServeAndReplay) {
    enum Outcome { Closed, FailureThenClosed, FailureAndOpen, Recorded };
    struct Case {
        const char* name;
        Bytes bytes;
        bool half_close;  // the PC stops sending after the bytes
        Outcome serve, replay;
    };
    Bytes bad_version = Request(0x01, 1, 0x20000000);
    bad_version[2] = 2;
    Bytes recorded_version = Request(0x01, 1, 0x10000000);
    recorded_version[2] = 2;
    Bytes absurd = Request(0x01, 1, 0x20000000);
    absurd[20] = absurd[21] = absurd[22] = absurd[23] = 0xFF;
    Bytes header = Request(0x01, 1, 0x00008000, 0, 128, Bytes(128, 'a'));
    const Case cases[] = {
        {"bad magic", ToBytes("HELLO DEVICE, ARE YOU THERE?"), false, Closed, Closed},
        {"magic of one byte right", ToBytes("GX"), false, Closed, Closed},
        {"wrong version", bad_version, false, FailureThenClosed, FailureThenClosed},
        {"wrong version, recorded", recorded_version, false, FailureThenClosed, Recorded},
        {"absurd payload length", absurd, false, FailureThenClosed, FailureThenClosed},
        {"unknown kind", Request(0x33, 1, 0x20000000), false, FailureAndOpen, FailureAndOpen},
        {"reply kind as a request", Request(0x81, 1, 0x20000000), false, FailureAndOpen,
         FailureAndOpen},
        {"truncated header", Bytes(header.begin(), header.begin() + 10), true, Closed, Closed},
        {"truncated payload", Bytes(header.begin(), header.begin() + 60), true, Closed, Closed},
        {"truncated header, PC waits", Bytes(header.begin(), header.begin() + 10), false, Closed,
         Closed},
    };
    gwsim::Options o;
    o.incomplete_frame_timeout_ms = 200;
    auto sim = Start(gwsim::Family::ZEL, o);
    ASSERT_TRUE(sim);
    // The replay holds the LC query and a request of version 2 answered with status 7.
    gwsim::Session session;
    std::string error;
    ASSERT_TRUE(gwsim::ParseSession(
        R"({"event":"session","format":"gwsim-session","version":1,"family":"ZEL"}
{"event":"request","conn":1,"n":1,"kind":1,"sequence":5,"code":"0x20000000"}
{"event":"reply","conn":1,"n":1,"frames":[{"kind":"0x81","sequence":5,"status":0,"data":"CPOD_LC_R2.10.3"}]}
{"event":"request","conn":1,"n":2,"version":2,"kind":1,"sequence":6,"code":"0x10000000"}
{"event":"reply","conn":1,"n":2,"frames":[{"kind":"0x81","sequence":6,"status":7}]}
{"event":"end"}
)",
        "malformed", &session, &error))
        << error;
    gwsim::ReplayOptions ro;
    ro.bind_address = zrtest::NextLoopbackAddress();
    ro.incomplete_frame_timeout_ms = 200;
    ro.log = [](const std::string&) {};
    gwsim::Replayer replay(session, ro);
    ASSERT_TRUE(replay.Start(&error)) << error;

    uint32_t seq = 100;
    for (bool replaying : {false, true}) {
        const std::string& address = replaying ? replay.address() : sim->address();
        for (const Case& k : cases) {
            SCOPED_TRACE(std::string(k.name) + (replaying ? " (replay)" : " (serve)"));
            Outcome outcome = replaying ? k.replay : k.serve;
            size_t malformed = Malformed(*sim).size();
            {
                Client c;
                ASSERT_EQ(c.Connect(address, 9191), ConnectResult::Connected);
                c.Send(k.bytes);
                if (k.half_close)
                    c.ShutdownSend();
                if (outcome == Closed) {
                    Bytes rest;
                    EXPECT_TRUE(c.WaitClosed(kWait, &rest));
                    EXPECT_TRUE(rest.empty());
                } else {
                    auto r = c.ReadReply();
                    ASSERT_TRUE(r);
                    EXPECT_EQ(r->status, outcome == Recorded ? 7u : 0xFFFFu);
                    EXPECT_EQ(r->seq, 1u);
                    if (outcome == FailureThenClosed)
                        EXPECT_TRUE(c.WaitClosed(kWait));
                    else
                        EXPECT_TRUE(c.Exchange(Request(0x01, ++seq, 0x20000000)));
                }
            }
            if (!replaying) {
                EXPECT_TRUE(
                    sim->WaitUntil([&] { return Malformed(*sim).size() > malformed; }, kWait));
            }
            Client healthy;
            ASSERT_EQ(healthy.Connect(address, 9191), ConnectResult::Connected);
            auto r = healthy.Exchange(Request(0x01, ++seq, 0x20000000));
            ASSERT_TRUE(r);
            EXPECT_EQ(r->seq, seq);
            EXPECT_EQ(r->text(), kLc);
        }
    }
    EXPECT_TRUE(sim->IsRunning());

    // The proxy relays such a request unchanged (and the device answers it).
    gwsim::ProxyOptions po;
    po.bind_address = zrtest::NextLoopbackAddress();
    po.device_address = sim->address();
    po.log = ro.log;
    gwsim::Proxy proxy(po);
    ASSERT_TRUE(proxy.Start(&error)) << error;
    size_t malformed = Malformed(*sim).size();
    Client c;
    ASSERT_EQ(c.Connect(proxy.address(), 9191), ConnectResult::Connected);
    auto r = c.Exchange(bad_version);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0xFFFFu);
    EXPECT_TRUE(c.WaitClosed(kWait));
    ASSERT_TRUE(sim->WaitUntil([&] { return Malformed(*sim).size() > malformed; }, kWait));
    EXPECT_EQ(Malformed(*sim).back(), "protocol version 2");
}

TEST(GwsimFaults, ParseFaultRejectsBadSpecs) {
    const char* bad[] = {"",
                         "explode",
                         "status:code",
                         "status:code=zz",
                         "status:nokey=1",
                         "split:size=0",
                         "garbage:bytes=abc",
                         "oversize:mode=huge",
                         "oversize:length=100",
                         "status:code=0x1ffffffff",
                         "status:times=-3"};
    for (const char* spec : bad) {
        gwsim::Fault f;
        std::string error;
        EXPECT_FALSE(gwsim::ParseFault(spec, &f, &error)) << spec;
        EXPECT_FALSE(error.empty()) << spec;
    }
    gwsim::Fault f;
    ASSERT_TRUE(gwsim::ParseFault(
        "garbage:code=16,qualifier=2,kind=0x11,times=3,pause=5,bytes=0A0b", &f, nullptr));
    EXPECT_EQ(f.kind, gwsim::FaultKind::GarbageFirst);
    EXPECT_EQ(f.code, 16u);
    EXPECT_EQ(f.qualifier, 2u);
    EXPECT_EQ(f.request_kind, 0x11);
    EXPECT_EQ(f.times, 3);
    EXPECT_EQ(f.pause_ms, 5);
    EXPECT_EQ(f.garbage, (Bytes{0x0A, 0x0B}));
}

}  // namespace
