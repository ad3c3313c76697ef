// The simulated devices and the replay in process, over loopback with a raw
// client; their pure parts (reply shaping, fault and state and recording
// readers) as tables. Every library test runs against the simulator too.
#include <gtest/gtest.h>

#include <iterator>
#include <thread>

#include "tests/support/frames.h"
#include "tests/support/loopback.h"
#include "tools/gwsim/recording.h"

using gwsim::DeviceState;
using gwsim::Family;
using rawclient::Bytes;
using rawclient::Client;
using rawclient::ConnectResult;
using rawclient::Request;
using rawclient::ToBytes;
using std::chrono::milliseconds;

// For the program's tests: a query on a new connection (waiting up to 10 s
// for the device to listen), answered as "status text".
std::string Ask(const std::string& address, uint16_t port, uint32_t code, bool wait) {
    for (int i = 0; i < 500; ++i) {
        Client c;
        const ConnectResult connected = c.Connect(address, port);
        if (connected == ConnectResult::Connected) {
            auto r = c.Exchange(Request(0x01, 1, code));
            return r ? std::to_string(r->status) + " " + r->text() : "";
        }
        if (connected != ConnectResult::Refused || !wait)
            return "";
        std::this_thread::sleep_for(milliseconds(20));
    }
    return "";
}

namespace {

const milliseconds kWait(5000);

// The reply shaping, fault by fault, as the steps it makes of one reply.
TEST(GwsimFaults, ShapeReplyTable) {
    using gwsim::Step;
    const Bytes frame = gwsim::ReplyFrame(0x01, 8, 0, ToBytes("LC42"));  // 20 bytes
    const Bytes previous = gwsim::ReplyFrame(0x01, 7, 0, ToBytes("OLD"));
    Bytes previous_then_frame = previous, padded = ToBytes("LC42");
    previous_then_frame.insert(previous_then_frame.end(), frame.begin(), frame.end());
    padded.resize(12 + 16, '#');
    auto write = [](Bytes b) { return Step{Step::Write, b}; };
    auto wait = [](int ms) { return Step{Step::Wait, {}, ms}; };
    auto part = [&frame](long from, long to) {
        return Step{Step::Write, Bytes(frame.begin() + from, frame.begin() + to)};
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
        {"status:status=5,data=no", 128, {}, {write(gwsim::ReplyFrame(1, 8, 5, ToBytes("no")))}, 1},
        {"noreply", 128, {}, {}, false},
        {"split:size=8,pause=30",
         128,
         {},
         {part(0, 8), wait(30), part(8, 16), wait(30), part(16, 20)},
         1},
        {"late", 128, previous, {write(previous_then_frame)}, true},
        {"late:pause=50",
         128,
         {},
         {write(gwsim::ReplyFrame(1, 7, 0, ToBytes("LATE"))), wait(50), write(frame)},
         1},
        {"garbage:bytes=00ff", 128, {}, {write({0x00, 0xFF}), wait(1000), write(frame)}, true},
        {"oversize:mode=room", 12, {}, {write(gwsim::ReplyFrame(1, 8, 0, padded))}, true},
        {"oversize",
         128,
         {},
         {write(gwsim::EncodeReply({1, 0x81, 8, 0, 19993, Bytes(19993, 'X')}))},
         1},
        {"closemid:after=7", 128, {}, {part(0, 7), Step{Step::Close, {}, 0, "fault closemid"}}, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.spec);
        gwsim::Fault fault;
        ASSERT_TRUE(!*k.spec || gwsim::ParseFault(k.spec, &fault, nullptr));
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

// Bad input, one table for the simulated device and the replay: each case is
// followed by a healthy request on a new connection; the proxy relays it.
TEST(GwsimFaults, MalformedInputAlikeInServeAndReplay) {
    enum Outcome { Closed, FailureThenClosed, FailureAndOpen, Recorded };
    Bytes bad_version = Request(1, 1, 0x20000000), recorded_version = Request(1, 1, 0x10000000),
          absurd = Request(1, 1, 0x20000000);
    bad_version[2] = recorded_version[2] = 2;
    absurd[20] = absurd[21] = absurd[22] = absurd[23] = 0xFF;
    const Bytes header = Request(0x01, 1, 0x00008000, 0, 128, Bytes(128, 'a'));
    const struct {
        Bytes bytes;
        bool half_close;  // the PC stops sending after the bytes
        Outcome serve, replay;
    } cases[] = {
        {ToBytes("HELLO DEVICE, ARE YOU THERE?"), false, Closed, Closed},
        {ToBytes("GX"), false, Closed, Closed},
        {bad_version, false, FailureThenClosed, FailureThenClosed},
        {recorded_version, false, FailureThenClosed, Recorded},
        {absurd, false, FailureThenClosed, FailureThenClosed},
        {Request(0x33, 1, 0x20000000), false, FailureAndOpen, FailureAndOpen},
        {Request(0x81, 1, 0x20000000), false, FailureAndOpen, FailureAndOpen},
        {Request(0x01, 1, 0x00004000), false, FailureAndOpen, FailureAndOpen},  // not recorded
        {Bytes(header.begin(), header.begin() + 10), true, Closed, Closed},
        {Bytes(header.begin(), header.begin() + 60), true, Closed, Closed},
        {Bytes(header.begin(), header.begin() + 10), false, Closed, Closed},  // the PC waits
    };
    gwsim::Options o;
    o.incomplete_frame_timeout_ms = 200;
    const DeviceState state = DeviceState::Default(Family::ZEL);
    std::string error;
    auto sim = zrtest::StartSimulator(state, o, &error);
    ASSERT_TRUE(sim) << error;
    // The replay holds the LC query and a request of version 2 answered with status 7.
    gwsim::Session session;
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
    // The proxy relays every byte unchanged: its device answers.
    gwsim::ProxyOptions po;
    po.bind_address = zrtest::NextLoopbackAddress();
    po.device_address = sim->address();
    po.log = ro.log;
    gwsim::Proxy proxy(po);
    ASSERT_TRUE(proxy.Start(&error)) << error;
    auto malformed = [&sim] {
        size_t n = 0;
        for (const gwsim::Event& e : sim->Events())
            n += e.type == gwsim::EventType::Malformed;
        return n;
    };
    uint32_t seq = 100;
    for (const std::string& address : {sim->address(), replay.address(), proxy.address()}) {
        const bool replaying = address == replay.address();
        for (size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(std::to_string(i) + " at " + address);
            const auto& k = cases[i];
            const Outcome outcome = replaying ? k.replay : k.serve;
            const size_t before = malformed();
            {
                Client c;
                ASSERT_EQ(c.Connect(address, 9191), ConnectResult::Connected);
                c.Send(k.bytes);
                if (k.half_close)
                    c.ShutdownSend();
                Bytes rest;
                if (outcome == Closed) {
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
            EXPECT_TRUE(replaying || i == 7 ||
                        sim->WaitUntil([&] { return malformed() > before; }, kWait));
            Client healthy;
            ASSERT_EQ(healthy.Connect(address, 9191), ConnectResult::Connected);
            auto r = healthy.Exchange(Request(0x01, ++seq, 0x20000000));
            ASSERT_TRUE(r);
            EXPECT_EQ(r->seq, seq);
            EXPECT_EQ(r->text(), state.lc_release);
        }
    }
    EXPECT_TRUE(sim->IsRunning());
    EXPECT_EQ(replay.Unmatched().size(), 3u);  // unknown kind, reply kind, unrecorded code
}

TEST(GwsimSession, BrokenRecordingsNameThePlace) {
    const std::string head =
        R"({"event":"session","format":"gwsim-session","version":1,"family":"ZEL"})" +
        std::string("\n");
    const std::string request =
        R"({"event":"request","conn":1,"n":1,"kind":"0x01","sequence":5,"code":"0x20000000"})" +
        std::string("\n");
    const std::string reply = head + request + R"({"event":"reply","conn":1,"n":1,)";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // text (a line end added), message part
        {"", "empty"},
        {"hello", "t.json:1 (offset 0)"},
        {R"({"event":"request"})", "first line must be the \"session\" line"},
        {R"({"event":"session","format":"gwsim-session","version":2,"family":"ZEL"})", "version 2"},
        {R"({"event":"session","format":"gwsim-session","version":1,"family":"X"})", "ZEL or MIR"},
        {head + request.substr(0, 30), "t.json:2 (offset "},
        {head + R"({"event":"rquest"})", "unknown event \"rquest\""},
        {head + R"({"event":"connect","conn":1,"colour":"red"})", "unknown key \"colour\""},
        {head + R"({"event":"request","conn":1,"n":1,"kind":1,"sequence":2})",
         "\"code\" is missing"},
        {head + request + request, "twice"},
        {head + R"({"event":"reply","conn":1,"n":4,"bytes":""})", "request 4"},
        {reply + R"("bytes":"4757z"})", "\"bytes\" is not hex"},
        {reply + R"("frames":[{"kind":"0x81","sequence":5}]})", "\"status\" is missing"},
        {head + R"({"event":"end"})" + "\n" + request, "after the \"end\" line"},
        {head.substr(0, 40), "cut short"},
    };
    for (const auto& k : cases) {
        gwsim::Session session;
        std::string error;
        const bool line = !k.first.empty() && k.first.back() != '\n' && k.second != "cut short";
        EXPECT_FALSE(gwsim::ParseSession(k.first + (line ? "\n" : ""), "t.json", &session, &error))
            << k.first;
        EXPECT_NE(error.find(k.second), std::string::npos) << k.second << " not in: " << error;
    }
    gwsim::Session session;
    std::string error;
    EXPECT_FALSE(gwsim::LoadSession("/nonexistent/dir/s.json", &session, &error));
    EXPECT_NE(error.find("/nonexistent/dir/s.json"), std::string::npos) << error;
}

}  // namespace
