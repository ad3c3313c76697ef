// The simulated devices' answers, code by code, over loopback.
#include <gtest/gtest.h>

#include <set>

#include "tests/support/loopback.h"
#include "tests/support/frames.h"
#include "tools/gwsim/simulator.h"

using rawclient::Bytes;
using rawclient::Client;
using rawclient::ConnectResult;
using rawclient::Request;
using rawclient::ToBytes;
using std::chrono::milliseconds;

namespace {

const milliseconds kWait(5000);

gwsim::DeviceState ZelState() {
    gwsim::DeviceState s;
    s.family = gwsim::Family::ZEL;
    s.lc_release = "CPOD_LC_R3.1.0";
    s.prom_release = "CPOD_PROM_R1.9";
    s.bootstrap_release = std::string(300, 'B');  // longer than the room: sent whole
    s.cpld_custom = true;
    s.cpld_revision = 0x01020304;
    s.cable = gwsim::CableType::R318;
    s.cable_version = "CPOD_R318_R1.7";
    s.serial_number = "SN-778899";
    s.mac_address = "AA:BB:CC:00:11:22";
    s.usb_mac_address = "AA:BB:CC:00:11:23";
    return s;
}

gwsim::DeviceState MirState() {
    gwsim::DeviceState s;
    s.family = gwsim::Family::MIR;
    s.lc_release = "MIR Release 5.0";
    s.prom_release = "MIR Release 2.2";
    s.serial_number = "M-31337";
    return s;
}

std::unique_ptr<gwsim::Simulator> Start(const gwsim::DeviceState& state,
                                        gwsim::Options options = gwsim::Options()) {
    std::string error;
    auto sim = zrtest::StartSimulator(state, options, &error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

void ConnectTo(Client& c, const gwsim::Simulator& sim) {
    ASSERT_EQ(c.Connect(sim.address(), sim.port()), ConnectResult::Connected);
}

struct CodeCase {
    const char* name;
    uint8_t kind;
    uint32_t code;
    uint32_t qualifier;
    uint32_t status;
    Bytes data;
};

void ExpectAnswers(gwsim::Simulator& sim, const std::vector<CodeCase>& cases) {
    Client c;
    ConnectTo(c, sim);
    uint32_t seq = 100;
    for (const CodeCase& k : cases) {
        SCOPED_TRACE(k.name);
        ++seq;
        auto r = c.Exchange(Request(k.kind, seq, k.code, k.qualifier, 128));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->version, 1);
        EXPECT_EQ(r->kind, k.kind | 0x80);
        EXPECT_EQ(r->seq, seq);
        EXPECT_EQ(r->status, k.status);
        EXPECT_EQ(r->length, k.data.size());
        EXPECT_EQ(r->data, k.data);
    }
}

TEST(GwsimCodes, ZelAnswersEveryCode) {
    auto sim = Start(ZelState());
    ASSERT_TRUE(sim);
    ExpectAnswers(
        *sim, {
                  {"LC", 0x01, 0x20000000, 0, 0, ToBytes("CPOD_LC_R3.1.0")},
                  {"PROM", 0x01, 0x10000000, 0, 0, ToBytes("CPOD_PROM_R1.9")},
                  {"bootstrap", 0x01, 0x01000000, 0, 0, Bytes(300, 'B')},
                  {"custom CPLD", 0x01, 0x00000800, 0, 0, {0x01, 0x02, 0x03, 0x04}},
                  {"cable", 0x01, 0x00000200, 0, 0, ToBytes("CPOD_R318_R1.7")},
                  {"serial", 0x01, 0x80000000, 0, 0, ToBytes("SN-778899")},
                  {"network MAC", 0x01, 0x00020000, 0x88000000, 0, ToBytes("AA:BB:CC:00:11:22")},
                  {"USB MAC", 0x01, 0x00020000, 0x48000000, 0, ToBytes("AA:BB:CC:00:11:23")},
                  {"MAC, other qualifier", 0x01, 0x00020000, 0x08000000, 0xFFFF, {}},
                  {"serial request", 0x01, 0x00400000, 0, 0, {}},
                  {"unknown code", 0x01, 0x00000001, 0, 0xFFFF, {}},
                  {"PROM code with a qualifier", 0x01, 0x10000000, 7, 0, ToBytes("CPOD_PROM_R1.9")},
                  {"measurement kind", 0x11, 2, 0, 0xFFFF, {}},
                  {"other reset code", 0x02, 0x1000000, 0, 0xFFFF, {}},
              });
    EXPECT_EQ(sim->ResetCount(), 0u);
}

TEST(GwsimCodes, SetStateChangesTheAnswersButNotTheFamily) {
    auto sim = Start(ZelState());
    ASSERT_TRUE(sim);
    gwsim::DeviceState s = MirState();  // a MIR state given to a ZEL device
    s.lc_release = "CPOD_LC_R9.9";
    s.cpld_custom = false;
    s.cpld_revision = 9;  // ignored for a standard CPLD
    s.cable = gwsim::CableType::None;
    sim->SetState(s);
    EXPECT_EQ(sim->State().family, gwsim::Family::ZEL);
    ExpectAnswers(*sim, {
                            {"LC", 0x01, 0x20000000, 0, 0, ToBytes("CPOD_LC_R9.9")},
                            {"standard CPLD", 0x01, 0x00000800, 0, 1, {}},
                            {"no cable", 0x01, 0x00000200, 0, 0xFFFF, {}},
                        });
}

TEST(GwsimCodes, MirAnswersEveryCode) {
    auto sim = Start(MirState());
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->port(), 9181);
    ExpectAnswers(*sim, {
                            {"serial", 0x11, 1, 0, 0, ToBytes("M-31337")},
                            {"LC", 0x11, 2, 0, 0, ToBytes("MIR Release 5.0")},
                            {"PROM", 0x11, 3, 0, 0, ToBytes("MIR Release 2.2")},
                            {"unknown", 0x11, 4, 0, 0xFFFF, {}},
                            {"ZEL code", 0x11, 0x20000000, 0, 0xFFFF, {}},
                            {"device kind", 0x01, 0x20000000, 0, 0xFFFF, {}},
                            {"other reset code", 0x12, 0x80000000, 0, 0xFFFF, {}},
                        });
    EXPECT_EQ(sim->ResetCount(), 0u);
}

TEST(GwsimCodes, SerialNumberTextFromThePcIsRemembered) {
    auto sim = Start(ZelState());
    ASSERT_TRUE(sim);
    Client c;
    ConnectTo(c, *sim);
    Bytes payload(128, 0);
    std::string text = "PC-SERIAL-42";
    std::copy(text.begin(), text.end(), payload.begin());
    payload[100] = 'x';  // after the terminating zero: not part of the text
    auto r = c.Exchange(Request(0x01, 7, 0x00008000, 0, 128, payload));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0u);
    EXPECT_TRUE(r->data.empty());
    EXPECT_EQ(sim->State().pc_serial_text, text);
    auto req = sim->Requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].payload, payload);
}

TEST(GwsimCodes, RequestSplitIntoSegmentsIsReassembled) {
    auto sim = Start(ZelState());
    ASSERT_TRUE(sim);
    Client c;
    ConnectTo(c, *sim);
    Bytes payload(128, 0);
    payload[0] = 'Q';
    Bytes frame = Request(0x01, 5, 0x00008000, 0, 128, payload);
    // One byte at a time through the header, then the rest in two pieces,
    // waiting each time until the simulator has certainly read what was sent.
    for (size_t i = 0; i < 24; ++i) {
        c.Send(Bytes{frame[i]});
        EXPECT_TRUE(c.Silent(milliseconds(5)));
    }
    c.Send(Bytes(frame.begin() + 24, frame.begin() + 90));
    EXPECT_TRUE(c.Silent(milliseconds(20)));
    c.Send(Bytes(frame.begin() + 90, frame.end()));
    auto r = c.ReadReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 5u);
    EXPECT_EQ(r->status, 0u);
    EXPECT_EQ(sim->State().pc_serial_text, "Q");
}

TEST(GwsimCodes, PipelinedRequestsAreAnsweredInOrder) {
    auto sim = Start(MirState());
    ASSERT_TRUE(sim);
    Client c;
    ConnectTo(c, *sim);
    Bytes all;
    for (uint32_t i = 0; i < 30; ++i) {
        Bytes f = Request(0x11, 1000 + i, 1 + i % 3, 0, 128);
        all.insert(all.end(), f.begin(), f.end());
    }
    c.Send(all);
    const char* texts[] = {"M-31337", "MIR Release 5.0", "MIR Release 2.2"};
    for (uint32_t i = 0; i < 30; ++i) {
        auto r = c.ReadReply();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->seq, 1000 + i);
        EXPECT_EQ(r->text(), texts[i % 3]);
    }
}

TEST(GwsimCodes, StopIsIdempotentAndEndsTheListener) {
    auto sim = Start(ZelState());
    ASSERT_TRUE(sim);
    std::string address = sim->address();
    {
        Client c;  // a connection still open when stopping
        ConnectTo(c, *sim);
        sim->Stop();
        EXPECT_TRUE(c.WaitClosed(kWait));
    }
    sim->Stop();
    EXPECT_FALSE(sim->IsRunning());
    Client c;
    EXPECT_EQ(c.Connect(address, 9191), ConnectResult::Refused);
    std::string error;
    EXPECT_FALSE(sim->Start(&error));
}

TEST(GwsimSupport, AddressesAreDistinctLoopbackAddresses) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        std::string a = zrtest::NextLoopbackAddress();
        EXPECT_EQ(a.rfind("127.", 0), 0u) << a;
        EXPECT_NE(a.rfind("127.0.", 0), 0u) << a;  // not the shared 127.0.x.y
        EXPECT_TRUE(seen.insert(a).second) << a;
    }
}

TEST(GwsimSupport, HoleRefusesConnectionsAndKeepsDevicesOut) {
    zrtest::AddressHole hole;
    Client c;
    EXPECT_EQ(c.Connect(hole.address(), 9191), ConnectResult::Refused);
    Client c2;
    EXPECT_EQ(c2.Connect(hole.address(), 9181), ConnectResult::Refused);
    gwsim::Options o;
    o.bind_address = hole.address();
    gwsim::Simulator sim(ZelState(), o);
    std::string error;
    EXPECT_FALSE(sim.Start(&error));
}

}  // namespace
