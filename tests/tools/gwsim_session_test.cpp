// Recording sessions through the proxy and replaying them, over loopback with
// a raw client; and reading broken or cut recordings.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/support/loopback.h"
#include "tests/support/frames.h"
#include "tests/tools/session_support.h"

using rawclient::Bytes;
using rawclient::Client;
using rawclient::ConnectResult;
using rawclient::Get32;
using rawclient::Request;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

const milliseconds kWait(5000);

gwsim::Fault MakeFault(const std::string& spec) {
    gwsim::Fault f;
    std::string error;
    EXPECT_TRUE(gwsim::ParseFault(spec, &f, &error)) << error;
    return f;
}

// Everything a reply of the given number of frames consists of, read whole.
Bytes ReadFrames(Client& c, int frames) {
    Bytes all;
    for (int i = 0; i < frames; ++i) {
        auto r = c.ReadReply();
        if (!r)
            break;
        Bytes f = gwsim::EncodeReply({r->version, r->kind, r->seq, r->status, r->length, r->data});
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

// One exchange of the scripted session below.
struct Step {
    const char* name;
    uint8_t kind;
    uint32_t code;
    int frames;          // complete frames in the answer
    size_t garbage;      // bytes of garbage ahead of them
    bool device_closes;  // the device closes after it
    size_t cut_after;    // > 0: only that many bytes come, then the close
};

// A ZEL device with a fault on every code the script uses.
const std::vector<Step>& Script() {
    static const std::vector<Step> steps = {
        {"plain", 0x01, 0x20000000, 1, 0, false, 0},
        {"split", 0x01, 0x10000000, 1, 0, false, 0},
        {"late", 0x01, 0x01000000, 2, 0, false, 0},
        {"garbage", 0x01, 0x80000000, 1, 3, false, 0},
        {"unknown code", 0x01, 0x00000001, 1, 0, false, 0},
        {"reset", 0x02, 0x80000000, 1, 0, true, 0},
        {"cut in mid-reply", 0x01, 0x00000800, 0, 0, true, 10},
    };
    return steps;
}

void AddScriptFaults(gwsim::Simulator& sim) {
    sim.AddFault(MakeFault("split:code=0x10000000,size=5,pause=15"));
    sim.AddFault(MakeFault("late:code=0x01000000"));
    sim.AddFault(MakeFault("garbage:code=0x80000000,kind=1,bytes=00ff41,pause=60"));
    sim.AddFault(MakeFault("closemid:code=0x800,after=10"));
}

// Runs the script against address:port with sequence numbers from `first_seq`,
// a new connection after each close; the bytes each step received.
std::vector<Bytes> RunScript(const std::string& address, uint16_t port, uint32_t first_seq) {
    std::vector<Bytes> got;
    auto c = std::make_unique<Client>();
    EXPECT_EQ(c->Connect(address, port), ConnectResult::Connected);
    uint32_t seq = first_seq;
    for (size_t i = 0; i < Script().size(); ++i) {
        const Step& s = Script()[i];
        SCOPED_TRACE(s.name);
        c->Send(Request(s.kind, seq++, s.code, 0, s.kind == 0x02 ? 0 : 128));
        Bytes b;
        if (s.garbage > 0)
            b = c->ReadExactly(s.garbage);
        Bytes frames = ReadFrames(*c, s.frames);
        b.insert(b.end(), frames.begin(), frames.end());
        if (s.device_closes) {
            Bytes rest;
            EXPECT_TRUE(c->WaitClosed(kWait, &rest));
            b.insert(b.end(), rest.begin(), rest.end());
            if (i + 1 < Script().size()) {
                c = std::make_unique<Client>();
                EXPECT_EQ(c->Connect(address, port), ConnectResult::Connected);
            }
        }
        got.push_back(b);
    }
    return got;
}

struct Recorded {
    std::unique_ptr<sessiontest::TempFile> file;
    std::vector<Bytes> live;  // what the client received through the proxy
    std::vector<gwsim::RecordedRequest> device_requests;
};

Recorded RecordScript() {
    Recorded r;
    r.file = std::make_unique<sessiontest::TempFile>("script");
    std::string error;
    auto sim = zrtest::StartSimulator(gwsim::DeviceState::Default(gwsim::Family::ZEL),
                                      gwsim::Options(), &error);
    EXPECT_TRUE(sim) << error;
    if (!sim)
        return r;
    AddScriptFaults(*sim);
    auto proxy = sessiontest::StartProxy(*sim, r.file->path(), &error);
    EXPECT_TRUE(proxy) << error;
    if (!proxy)
        return r;
    r.live = RunScript(proxy->address(), proxy->port(), 1000);
    EXPECT_TRUE(proxy->WaitUntil(
        [&] { return proxy->OpenCount() == 0 && proxy->ConnectionCount() == 2; }, kWait));
    proxy->Stop();
    r.device_requests = sim->Requests();
    return r;
}

TEST(GwsimSession, TheProxyRelaysUnchangedAndRecordsEveryExchange) {
    // The same script straight to the device, for the bytes it gives.
    auto sim = zrtest::StartSimulator(gwsim::DeviceState::Default(gwsim::Family::ZEL));
    ASSERT_TRUE(sim);
    AddScriptFaults(*sim);
    std::vector<Bytes> direct = RunScript(sim->address(), sim->port(), 1000);

    Recorded rec = RecordScript();
    ASSERT_EQ(rec.live.size(), Script().size());
    EXPECT_EQ(rec.live, direct) << "the proxy changed what the device sent";

    gwsim::Session session;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(gwsim::LoadSession(rec.file->path(), &session, &error, &warnings)) << error;
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_TRUE(session.complete);
    EXPECT_EQ(session.family, gwsim::Family::ZEL);
    EXPECT_EQ(session.connections, 2u);
    ASSERT_EQ(session.exchanges.size(), rec.device_requests.size());
    for (size_t i = 0; i < session.exchanges.size(); ++i) {
        const gwsim::Exchange& x = session.exchanges[i];
        const gwsim::RecordedRequest& d = rec.device_requests[i];
        const Step& s = Script()[i];
        SCOPED_TRACE(s.name);
        EXPECT_EQ(x.number, i + 1);
        EXPECT_EQ(x.request.kind, d.kind);
        EXPECT_EQ(d.sequence, 1000 + i) << "as the device recorded it";
        EXPECT_EQ(x.request.sequence, d.sequence);
        EXPECT_EQ(x.request.code, d.code);
        EXPECT_EQ(x.request.qualifier, d.qualifier);
        EXPECT_EQ(x.request.room, d.room);
        EXPECT_EQ(x.request.payload, d.payload);
        EXPECT_EQ(x.connection, d.connection);
        EXPECT_EQ(x.SegmentBytes(), rec.live[i]) << "raw bytes";
        EXPECT_EQ(x.PieceBytes(), rec.live[i]) << "decoded frames";
        EXPECT_EQ(x.device_closes, s.device_closes);
    }
    const auto& xs = session.exchanges;
    EXPECT_GT(xs[1].segments.size(), 1u) << "the split answer came in one piece";
    ASSERT_EQ(xs[2].pieces.size(), 2u);
    EXPECT_EQ(xs[2].pieces[0].sequence, xs[1].request.sequence) << "the late frame";
    EXPECT_EQ(xs[2].pieces[1].sequence, xs[2].request.sequence);
    ASSERT_EQ(xs[3].pieces.size(), 2u);
    EXPECT_TRUE(xs[3].pieces[0].raw);
    EXPECT_EQ(xs[3].pieces[0].bytes, (Bytes{0x00, 0xFF, 0x41}));
    EXPECT_GE(xs[3].segments.size(), 2u);
    EXPECT_GE(xs[3].segments.back().gap_ms, 40u) << "the pause after the garbage";
    EXPECT_EQ(xs[4].pieces.at(0).status, 0x0000FFFFu);
    ASSERT_EQ(xs[6].pieces.size(), 1u);
    EXPECT_TRUE(xs[6].pieces[0].raw);
    EXPECT_EQ(xs[6].pieces[0].note, "incomplete frame");
}

TEST(GwsimSession, ReplayAnswersAsRecordedWithTheLiveSequenceNumbers) {
    Recorded rec = RecordScript();
    gwsim::Session session;
    std::string error;
    ASSERT_TRUE(gwsim::LoadSession(rec.file->path(), &session, &error)) << error;
    for (bool timing : {true, false}) {
        SCOPED_TRACE(timing ? "with timing" : "without timing");
        auto replay = sessiontest::StartReplay(session, timing, &error);
        ASSERT_TRUE(replay) << error;
        const uint32_t first = 7000;  // far from the recorded 1000...
        std::vector<Bytes> got = RunScript(replay->address(), replay->port(), first);
        ASSERT_EQ(got.size(), rec.live.size());
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(Script()[i].name);
            // The recorded bytes with every sequence moved by the same distance.
            Bytes expected = rec.live[i];
            for (size_t at = 0; at + 8 <= expected.size(); ++at) {
                if (expected[at] == 'G' && expected[at + 1] == 'W' && expected[at + 2] == 1 &&
                    (expected[at + 3] & 0x80)) {
                    uint32_t seq = Get32(&expected[at + 4]) - 1000 + first;
                    for (int k = 0; k < 4; ++k)
                        expected[at + 4 + size_t(k)] = uint8_t(seq >> (24 - 8 * k));
                }
            }
            EXPECT_EQ(got[i], expected);
        }
        EXPECT_EQ(replay->Unmatched().size(), 0u);
        for (const auto& m : replay->Matches())
            EXPECT_TRUE(m.in_order) << m.exchange;
        EXPECT_EQ(replay->ConnectionCount(), 2u);
    }
}

TEST(GwsimSession, ReplayReproducesSegmentsAndGaps) {
    Recorded rec = RecordScript();
    gwsim::Session session;
    std::string error;
    ASSERT_TRUE(gwsim::LoadSession(rec.file->path(), &session, &error)) << error;
    const gwsim::Exchange& split = session.exchanges[1];
    auto replay = sessiontest::StartReplay(session, true, &error);
    ASSERT_TRUE(replay) << error;
    Client c;
    ASSERT_EQ(c.Connect(replay->address(), replay->port()), ConnectResult::Connected);
    ASSERT_TRUE(c.Exchange(Request(0x01, 1, 0x20000000)));
    auto begin = Clock::now();
    c.Send(Request(0x01, 2, 0x10000000));
    size_t total = split.SegmentBytes().size(), got = 0, reads = 0, largest = 0;
    for (const auto& seg : split.segments)
        largest = std::max(largest, seg.bytes.size());
    EXPECT_LE(largest, 5u);
    while (got < total) {
        Bytes chunk = c.ReadSome();
        ASSERT_FALSE(chunk.empty());
        EXPECT_LE(chunk.size(), largest);
        got += chunk.size();
        ++reads;
    }
    uint32_t recorded_gaps = 0;
    for (size_t i = 1; i < split.segments.size(); ++i)
        recorded_gaps += split.segments[i].gap_ms;
    EXPECT_GE(reads, 2u);
    EXPECT_GE(Clock::now() - begin, milliseconds(recorded_gaps));
}

TEST(GwsimSession, RequestsTheRecordingLacksGetAnUnsupportedStatus) {
    Recorded rec = RecordScript();
    gwsim::Session session;
    std::string error;
    ASSERT_TRUE(gwsim::LoadSession(rec.file->path(), &session, &error)) << error;
    std::vector<std::string> log;
    auto replay = sessiontest::StartReplay(session, false, &error, &log);
    ASSERT_TRUE(replay) << error;
    Client c;
    ASSERT_EQ(c.Connect(replay->address(), replay->port()), ConnectResult::Connected);
    struct Case {
        const char* name;
        Bytes request;
    };
    const Case cases[] = {
        {"unknown code", Request(0x01, 50, 0x00004000)},
        {"known code, other qualifier", Request(0x01, 51, 0x20000000, 7)},
        {"known code, other kind", Request(0x11, 52, 0x20000000)},
        {"known code with a payload", Request(0x01, 53, 0x20000000, 0, 128, Bytes(4, 'p'))},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto r = c.Exchange(k.request);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->seq, Get32(&k.request[4]));
        EXPECT_EQ(r->kind, k.request[3] | 0x80);
        EXPECT_EQ(r->status, 0x0000FFFFu);
        EXPECT_EQ(r->length, 0u);
    }
    EXPECT_EQ(replay->Unmatched().size(), 4u);
    replay->Stop();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[0].find("no recorded answer"), std::string::npos) << log[0];
    EXPECT_NE(log[0].find("code 0x00004000"), std::string::npos) << log[0];
}

// A session written by hand: the same request answered differently over time;
// where the frames and the raw bytes disagree (edited), the frames are sent.
const char kHandWritten[] =
    R"({"event":"session","format":"gwsim-session","version":1,"family":"MIR"}
{"event":"request","conn":1,"n":1,"kind":"0x11","sequence":5,"code":2}
{"event":"reply","conn":1,"n":1,"bytes":"4757","frames":[{"kind":"0x91","sequence":5,"status":0,"data":"first"}]}

{"event":"request","conn":1,"n":2,"kind":"0x11","sequence":6,"code":1}
{"event":"reply","conn":1,"n":2,"frames":[{"kind":"0x91","sequence":6,"status":0,"data":"serial"}]}
{"event":"request","conn":1,"n":3,"kind":"0x11","sequence":7,"code":"2"}
{"event":"reply","conn":1,"n":3,"frames":[{"kind":"0x91","sequence":3,"status":"0x0","data":"old"},{"kind":"0x91","sequence":7,"status":0,"data_hex":"00ff"}]}
{"event":"end"}
)";

TEST(GwsimSession, InRecordedOrderFirstAndByKeyOtherwise) {
    gwsim::Session session;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(gwsim::ParseSession(kHandWritten, "hand.json", &session, &error, &warnings))
        << error;
    EXPECT_TRUE(warnings.empty());
    auto replay = sessiontest::StartReplay(session, true, &error);
    ASSERT_TRUE(replay) << error;
    Client c;
    ASSERT_EQ(c.Connect(replay->address(), 9181), ConnectResult::Connected);
    struct Case {
        uint32_t code;
        std::vector<std::pair<uint32_t, std::string>> frames;  // sequence, data
        size_t exchange;
        bool in_order;
    };
    // Live sequences start at 100. Request 2 is asked first: taken by key.
    const Case cases[] = {
        {1, {{100, "serial"}}, 2, false},
        {2, {{101, "first"}}, 1, true},
        // The late frame answers a request this replay never saw: one below.
        {2, {{101, "old"}, {102, std::string("\0\xff", 2)}}, 3, true},
        {2, {{102, "old"}, {103, std::string("\0\xff", 2)}}, 3, false},  // the last answer again
    };
    uint32_t seq = 100;
    for (const Case& k : cases) {
        c.Send(Request(0x11, seq++, k.code));
        for (const auto& f : k.frames) {
            auto r = c.ReadReply();
            ASSERT_TRUE(r);
            EXPECT_EQ(r->seq, f.first);
            EXPECT_EQ(r->text(), f.second);
        }
    }
    auto matches = replay->Matches();
    ASSERT_EQ(matches.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(matches[i].exchange, cases[i].exchange) << i;
        EXPECT_EQ(matches[i].in_order, cases[i].in_order) << i;
    }
}

TEST(GwsimSession, SequenceRewriting) {
    auto frame = [](uint32_t seq) {
        gwsim::ReplyPiece p;
        p.kind = 0x81;
        p.sequence = seq;
        p.data = {'x'};
        return p;
    };
    auto raw = [](const Bytes& b) {
        gwsim::ReplyPiece p;
        p.raw = true;
        p.bytes = b;
        return p;
    };
    auto sequences = [](const Bytes& b) {
        std::vector<uint32_t> out;
        for (size_t at = 0; at + 8 <= b.size(); ++at) {
            if (b[at] == 'G' && b[at + 1] == 'W')
                out.push_back(Get32(&b[at + 4]));
        }
        return out;
    };
    const std::map<uint32_t, uint32_t> replayed = {{40, 900}, {41, 905}};
    auto earlier = [&replayed](uint32_t recorded) {
        auto it = replayed.find(recorded);
        return it != replayed.end() ? it->second : 0u;
    };
    struct Case {
        const char* name;
        std::vector<gwsim::ReplyPiece> pieces;
        uint32_t live;
        std::vector<uint32_t> expected;
    };
    const Case cases[] = {
        {"the answer", {frame(42)}, 1000, {1000}},
        {"late frame of a replayed request", {frame(41), frame(42)}, 1000, {905, 1000}},
        {"late frame of an unknown request", {frame(7), frame(42)}, 1000, {0, 1000}},
        {"never the live sequence", {frame(40), frame(42)}, 900, {899, 900}},
        {"garbage is left alone", {raw({'G', 'X', 0, 0, 0, 42, 1, 2}), frame(42)}, 3, {3}},
        {"a cut frame is rewritten", {raw({'G', 'W', 1, 0x81, 0, 0, 0, 42, 0})}, 3, {3}},
        {"too short to carry one", {raw({'G', 'W', 1, 0x81, 0, 0})}, 3, {}},
    };
    for (const Case& k : cases) {
        Bytes b = gwsim::Replayer::ReplyBytes(k.pieces, 42, k.live, earlier);
        EXPECT_EQ(sequences(b), k.expected) << k.name;
    }
    Bytes b =
        gwsim::Replayer::ReplyBytes({frame(5), frame(42)}, 42, 1, [](uint32_t) { return 1u; });
    EXPECT_EQ(sequences(b), (std::vector<uint32_t>{0xFFFFFFFFu, 1}));
}

TEST(GwsimSession, BrokenRecordingsNameThePlace) {
    const std::string header =
        R"({"event":"session","format":"gwsim-session","version":1,"family":"ZEL"})"
        "\n";
    const std::string request =
        R"({"event":"request","conn":1,"n":1,"kind":"0x01","sequence":5,"code":"0x20000000"})"
        "\n";
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;  // parts of the message
    };
    const Case cases[] = {
        {"empty", "", {"t.json", "empty"}},
        {"not JSON at all", "hello\n", {"t.json:1 (offset 0)", "not valid JSON"}},
        {"not a session",
         R"({"event":"request"})"
         "\n",
         {"t.json:1", "first line must be the \"session\" line"}},
        {"other format",
         R"({"event":"session","format":"pcap","version":1,"family":"ZEL"})"
         "\n",
         {"t.json:1", "\"format\""}},
        {"newer version",
         R"({"event":"session","format":"gwsim-session","version":2,"family":"ZEL"})"
         "\n",
         {"t.json:1", "version 2"}},
        {"bad family",
         R"({"event":"session","format":"gwsim-session","version":1,"family":"X"})"
         "\n",
         {"t.json:1", "ZEL or MIR"}},
        {"broken JSON in the middle",
         header + request.substr(0, 30) + "\n" + request,
         {"t.json:2 (offset ", "not valid JSON"}},
        {"unknown event",
         header + R"({"event":"rquest"})"
                  "\n",
         {"t.json:2 (offset " + std::to_string(header.size()) + ")", "unknown event \"rquest\""}},
        {"unknown key",
         header + R"({"event":"connect","conn":1,"colour":"red"})"
                  "\n",
         {"t.json:2", "unknown key \"colour\""}},
        {"missing code",
         header + R"({"event":"request","conn":1,"n":1,"kind":1,"sequence":2})"
                  "\n",
         {"t.json:2", "\"code\" is missing"}},
        {"code not a number",
         header + R"({"event":"request","conn":1,"n":1,"kind":1,"sequence":2,"code":"0x2G"})"
                  "\n",
         {"t.json:2", "\"code\" is not a number"}},
        {"kind out of range",
         header + R"({"event":"request","conn":1,"n":1,"kind":256,"sequence":2,"code":1})"
                  "\n",
         {"t.json:2", "\"kind\" is out of range"}},
        {"request twice", header + request + request, {"t.json:3", "twice", "line 2"}},
        {"reply without request",
         header + R"({"event":"reply","conn":1,"n":4,"bytes":""})"
                  "\n",
         {"t.json:2", "request 4"}},
        {"reply on another connection",
         header + request +
             R"({"event":"reply","conn":2,"n":1})"
             "\n",
         {"t.json:3", "connection 2"}},
        {"bad hex",
         header + request +
             R"({"event":"reply","conn":1,"n":1,"bytes":"4757z"})"
             "\n",
         {"t.json:3", "\"bytes\" is not hex"}},
        {"bad frame",
         header + request +
             R"({"event":"reply","conn":1,"n":1,"frames":[{"kind":"0x81","sequence":5}]})"
             "\n",
         {"t.json:3", "frame 1", "\"status\" is missing"}},
        {"frames not a list",
         header + request +
             R"({"event":"reply","conn":1,"n":1,"frames":{}})"
             "\n",
         {"t.json:3", "\"frames\" must be an array"}},
        {"data twice",
         header + request +
             R"({"event":"reply","conn":1,"n":1,"frames":[{"kind":1,"sequence":5,"status":0,"data":"a","data_hex":"00"}]})"
             "\n",
         {"t.json:3", "both \"data\" and \"data_hex\""}},
        {"close by nobody",
         header + request +
             R"({"event":"close","conn":1,"n":1,"by":"cat"})"
             "\n",
         {"t.json:3", "\"by\""}},
        {"line after the end",
         header +
             R"({"event":"end"})"
             "\n" +
             request,
         {"t.json:3", "after the \"end\" line"}},
        {"header cut short", header.substr(0, 40), {"t.json:1", "cut short"}},
        {"array instead of object", header + "[1,2]\n", {"t.json:2", "JSON object"}},
    };
    for (const Case& k : cases) {
        gwsim::Session session;
        std::string error;
        EXPECT_FALSE(gwsim::ParseSession(k.text, "t.json", &session, &error)) << k.name;
        for (const std::string& part : k.expected)
            EXPECT_NE(error.find(part), std::string::npos)
                << k.name << ": \"" << part << "\" not in: " << error;
    }
    gwsim::Session session;
    std::string error;
    EXPECT_FALSE(gwsim::LoadSession("/nonexistent/dir/s.json", &session, &error));
    EXPECT_NE(error.find("/nonexistent/dir/s.json"), std::string::npos) << error;
}

TEST(GwsimSession, ARecordingCutAnywhereIsReadUpToTheCut) {
    Recorded rec = RecordScript();
    std::string text;
    ASSERT_TRUE(gwsim::ReadTextFile(rec.file->path(), &text));
    const size_t header_end = text.find('\n') + 1;
    gwsim::Session whole;
    std::string error;
    ASSERT_TRUE(gwsim::ParseSession(text, "s.json", &whole, &error)) << error;
    size_t previous_exchanges = 0;
    for (size_t cut = 0; cut < text.size(); cut += 3) {
        const std::string part = text.substr(0, cut);
        gwsim::Session session;
        std::vector<std::string> warnings;
        error.clear();
        bool ok = gwsim::ParseSession(part, "s.json", &session, &error, &warnings);
        if (cut + 1 < header_end) {
            EXPECT_FALSE(ok) << cut;
            EXPECT_NE(error.find("s.json:1"), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << "cut at " << cut << ": " << error;
        if (session.complete)
            continue;  // only the last line end is missing
        ASSERT_FALSE(warnings.empty()) << cut;
        // The last warning says the end line is missing; a cut inside a line
        // also names that line.
        bool inside = part.back() != '\n';
        size_t line = size_t(std::count(part.begin(), part.end(), '\n')) + (inside ? 1 : 0);
        if (inside && warnings.size() == 2) {
            EXPECT_NE(warnings[0].find("s.json:" + std::to_string(line) + " (offset "),
                      std::string::npos)
                << warnings[0];
            EXPECT_NE(warnings[0].find("cut short"), std::string::npos) << warnings[0];
        }
        EXPECT_NE(warnings.back().find("no \"end\" line"), std::string::npos) << warnings.back();
        // Never more than the whole, and growing as the cut moves on.
        EXPECT_LE(session.exchanges.size(), whole.exchanges.size());
        EXPECT_GE(session.exchanges.size(), previous_exchanges);
        previous_exchanges = session.exchanges.size();
        for (size_t i = 0; i < session.exchanges.size(); ++i)
            EXPECT_EQ(session.exchanges[i].request.sequence, whole.exchanges[i].request.sequence);
    }
    EXPECT_EQ(previous_exchanges, whole.exchanges.size());
}

TEST(GwsimSession, ADeviceThatCannotBeReachedIsRecorded) {
    zrtest::AddressHole hole;
    sessiontest::TempFile file("unreachable");
    gwsim::ProxyOptions o;
    o.bind_address = zrtest::NextLoopbackAddress();
    o.device_address = hole.address();
    o.record_path = file.path();
    gwsim::Proxy proxy(o);
    std::string error;
    ASSERT_TRUE(proxy.Start(&error)) << error;
    Client c;
    // The proxy resets the PC's connection at once; the reset may overtake the
    // completion of the connect itself.
    const ConnectResult connected = c.Connect(proxy.address(), proxy.port());
    ASSERT_TRUE(connected == ConnectResult::Connected || connected == ConnectResult::Failed);
    if (connected == ConnectResult::Connected) {
        EXPECT_TRUE(c.WaitClosed(kWait));
    }
    EXPECT_TRUE(proxy.WaitForIdle(kWait));
    proxy.Stop();
    gwsim::Session session;
    ASSERT_TRUE(gwsim::LoadSession(file.path(), &session, &error)) << error;
    EXPECT_EQ(session.failed_connections, 1u);
    EXPECT_EQ(session.connections, 0u);
    std::string text;
    ASSERT_TRUE(gwsim::ReadTextFile(file.path(), &text));
    EXPECT_NE(text.find("\"event\":\"connect_failed\""), std::string::npos);
}

TEST(GwsimSession, TheProxyRefusesBadSettings) {
    sessiontest::TempFile file("bad");
    struct Case {
        const char* name;
        std::string device;
        std::string record;
        const char* expected;
    };
    const Case cases[] = {
        {"device address", "device.example", file.path(), "bad device address"},
        {"recording path", "127.0.0.1", "/nonexistent/dir/s.json", "s.json: No such file"},
    };
    for (const Case& k : cases) {
        gwsim::ProxyOptions o;
        o.bind_address = zrtest::NextLoopbackAddress();
        o.device_address = k.device;
        o.record_path = k.record;
        gwsim::Proxy proxy(o);
        std::string error;
        EXPECT_FALSE(proxy.Start(&error)) << k.name;
        EXPECT_NE(error.find(k.expected), std::string::npos) << k.name << ": " << error;
    }
}

}  // namespace
