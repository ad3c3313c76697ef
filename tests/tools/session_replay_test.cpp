// The library against recorded sessions: CGatewayChecks through the recording
// proxy gives what it gives without it, and the replay of that recording gives
// it again, faults included. Also replays the committed sessions of
// tests/sessions/, which the generator below (re)makes:
//
//   ZR_WRITE_SESSIONS=1 ./session_replay_test --gtest_filter='CommittedSessions.Generate'
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/testenv.h"
#include "tests/support/loopback.h"
#include "zodaruruvizi/devices/valuestore.h"
#include "zodaruruvizi/zodaruruvizi.h"

namespace {

using gwsim::DeviceState;
using gwsim::Family;

const char kAllSame[] = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,";

// A device, its faults, the firmware on the PC, and what the check finds.
struct SessionCase {
    const char* name;  // the file in tests/sessions/ is NAME.json
    Family family;
    void (*device)(DeviceState*);
    std::vector<const char*> faults;
    std::vector<std::pair<const char*, const char*>> firmware;  // file, release
    bool update;  // check, update the first differing component, check again
    std::vector<const char*> expected;
};

const std::vector<std::pair<const char*, const char*>> kZelFirmware = {
    {"tarvik_lc.bin", "CPOD_LC_R2.10.3"},
    {"tarvik_prom.bin", "CPOD_PROM_R1.4.0"},
    {"tarvik_bootstrap.bin", "CPOD_BOOT_R1.0.2"},
    {"tessan_cable.hex", "CPOD_TSN_R2.4"},
    {"tarvik_mac.bin", "CPOD_TSN_R2.4"}};

std::vector<std::pair<const char*, const char*>> ZelFirmware(const char* file,
                                                             const char* release) {
    auto f = kZelFirmware;
    for (auto& entry : f) {
        if (std::string(entry.first) == file)
            entry.second = release;
    }
    return f;
}

const std::vector<SessionCase>& Cases() {
    static const std::vector<SessionCase> cases = {
        {"zel_all_same", Family::ZEL, [](DeviceState*) {}, {}, kZelFirmware, false, {kAllSame}},
        {"zel_lc_older_split_late",
         Family::ZEL,
         [](DeviceState*) {},
         {"split:code=0x20000000,size=4,pause=5", "late:code=0x10000000"},
         ZelFirmware("tarvik_lc.bin", "CPOD_LC_R2.11"),
         false,
         {"LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,"}},
        {"zel_cable_older_garbage",
         Family::ZEL,
         [](DeviceState* s) {
             s->cable_version = "CPOD_TSN_R2.3";
             s->cpld_custom = true;
             s->cpld_revision = 5;
         },
         {"garbage:code=0x200,pause=150"},
         kZelFirmware,
         false,
         {"LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Older, R318:Same,"}},
        {"zel_prom_update_reset",
         Family::ZEL,
         [](DeviceState* s) { s->prom_release = "CPOD_PROM_R1.3.9"; },
         {"split:code=0x10000000,size=9,pause=3"},
         kZelFirmware,
         true,
         {"LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,", kAllSame}},
        {"mir_prom_older_split",
         Family::MIR,
         [](DeviceState* s) {
             s->lc_release = "MIR Release 3.4";
             s->prom_release = "MIR Release 1.2";
         },
         {"split:code=3,size=6,pause=5"},
         {{"sollum_lc.bin", "MIR Release 3.4"}, {"sollum_prom.bin", "MIR Release 1.3"}},
         false,
         {"LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,"}},
    };
    return cases;
}

struct Outcome {
    std::vector<std::string> results;
    ValueStoreMap store;
};

// The case's checks through CGatewayChecks against the device at `address`,
// with the case's firmware in fresh directories.
Outcome RunChecks(const SessionCase& c, const std::string& address) {
    zrtest::GatewayDirs dirs;
    for (const auto& f : c.firmware)
        dirs.WriteFirmware(f.first, f.second);
    GetValueStore().clear();
    Outcome o;
    {
        CGatewayChecks checks(c.family == Family::ZEL ? "ZEL" : "MIR");
        checks.SetAddress(inet_addr(address.c_str()));
        CCodeDiffResults r = checks.CheckForUpdates(true);
        o.results.push_back(std::string(r.ToString()));
        if (c.update) {
            checks.PerformUpdate(r);
            EXPECT_TRUE(WaitForWorkerThreads(30000)) << c.name;
            o.results.push_back(std::string(checks.CheckForUpdates(true).ToString()));
        }
    }
    o.store = GetValueStore();
    GetValueStore().clear();
    return o;
}

std::unique_ptr<gwsim::Simulator> StartDevice(const SessionCase& c) {
    DeviceState state = DeviceState::Default(c.family);
    c.device(&state);
    std::string error;
    auto sim = zrtest::StartSimulator(state, gwsim::Options(), &error);
    EXPECT_TRUE(sim) << error;
    if (!sim)
        return nullptr;
    for (const char* spec : c.faults) {
        gwsim::Fault f;
        EXPECT_TRUE(gwsim::ParseFault(spec, &f, &error)) << error;
        sim->AddFault(f);
    }
    return sim;
}

// The device needs the PC's software directory for the update's staged
// images: the simulator reads GATEWAY_SOFTWARE_DIR at each use, which
// RunChecks sets.
struct Live {
    Outcome outcome;
    std::vector<gwsim::RecordedRequest> device_requests;
    std::vector<gwsim::RecordedRequest> recorded_requests;
};

// The case against a fresh simulated device, through a recording proxy when
// `record` is given.
Live RunLive(const SessionCase& c, const std::string* record) {
    Live live;
    auto sim = StartDevice(c);
    if (!sim)
        return live;
    if (!record) {
        live.outcome = RunChecks(c, sim->address());
        live.device_requests = sim->Requests();
        return live;
    }
    std::string error;
    auto proxy = zrtest::StartProxy(*sim, *record, &error);
    EXPECT_TRUE(proxy) << error;
    if (!proxy)
        return live;
    live.outcome = RunChecks(c, proxy->address());
    EXPECT_TRUE(proxy->WaitForIdle(std::chrono::seconds(5)));
    proxy->Stop();
    EXPECT_TRUE(proxy->RecordingHealthy(&error)) << error;
    live.device_requests = sim->Requests();
    live.recorded_requests = proxy->Requests();
    return live;
}

Outcome RunReplay(const SessionCase& c, const gwsim::Session& session,
                  std::vector<gwsim::ReplayMatch>* matches = nullptr) {
    std::string error;
    auto replay = zrtest::StartReplay(session, true, &error);
    EXPECT_TRUE(replay) << error;
    if (!replay)
        return Outcome();
    Outcome o = RunChecks(c, replay->address());
    replay->Stop();
    EXPECT_TRUE(replay->Unmatched().empty())
        << c.name << ": " << gwsim::DescribeRequest(replay->Unmatched().front());
    if (matches)
        *matches = replay->Matches();
    return o;
}

void ExpectSameRequests(const std::vector<gwsim::RecordedRequest>& a,
                        const std::vector<gwsim::RecordedRequest>& b, const char* name) {
    ASSERT_EQ(a.size(), b.size()) << name;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].kind, b[i].kind) << name << " " << i;
        EXPECT_EQ(a[i].sequence, b[i].sequence) << name << " " << i;
        EXPECT_EQ(a[i].code, b[i].code) << name << " " << i;
        EXPECT_EQ(a[i].qualifier, b[i].qualifier) << name << " " << i;
        EXPECT_EQ(a[i].room, b[i].room) << name << " " << i;
        EXPECT_EQ(a[i].payload, b[i].payload) << name << " " << i;
    }
}

class SessionReplayTest : public ::testing::TestWithParam<size_t> {
protected:
    void TearDown() override { EXPECT_TRUE(WaitForWorkerThreads(30000)); }
};

TEST_P(SessionReplayTest, ProxyAndReplayGiveTheLibraryTheLiveResults) {
    const SessionCase& c = Cases()[GetParam()];
    Live direct = RunLive(c, nullptr);
    ASSERT_EQ(direct.outcome.results.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i)
        EXPECT_EQ(direct.outcome.results[i], c.expected[i]) << c.name << " check " << i;
    EXPECT_FALSE(direct.outcome.store.empty());

    zrtest::TempDir dir;
    const std::string path = dir.File("session.json");
    Live proxied = RunLive(c, &path);
    EXPECT_EQ(proxied.outcome.results, direct.outcome.results);
    EXPECT_EQ(proxied.outcome.store, direct.outcome.store);
    // The recording holds every request the device saw, as it saw it.
    ExpectSameRequests(proxied.recorded_requests, proxied.device_requests, c.name);

    gwsim::Session session;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(gwsim::LoadSession(path, &session, &error, &warnings)) << error;
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    ASSERT_EQ(session.exchanges.size(), proxied.device_requests.size());
    for (const gwsim::Exchange& x : session.exchanges)
        EXPECT_EQ(x.PieceBytes(), x.SegmentBytes()) << c.name << " exchange " << x.number;
    if (c.update) {
        bool reset = false;
        for (const gwsim::Exchange& x : session.exchanges)
            reset = reset || (x.request.kind & 0x0F) == 0x02;
        EXPECT_TRUE(reset) << "the update's reset request is recorded";
    }

    std::vector<gwsim::ReplayMatch> matches;
    Outcome replayed = RunReplay(c, session, &matches);
    EXPECT_EQ(replayed.results, direct.outcome.results);
    EXPECT_EQ(replayed.store, direct.outcome.store);
    ASSERT_EQ(matches.size(), session.exchanges.size());
    for (size_t i = 0; i < matches.size(); ++i) {
        EXPECT_EQ(matches[i].exchange, i + 1) << c.name;
        EXPECT_TRUE(matches[i].in_order) << c.name << " " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionReplayTest, ::testing::Range(size_t(0), Cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(Cases()[info.param].name);
                         });

std::string SessionFile(const SessionCase& c) {
    return std::string(ZR_SESSIONS_DIR) + "/" + c.name + ".json";
}

// Rewrites tests/sessions/ (only when asked to, since it changes the sources).
TEST(CommittedSessions, Generate) {
    if (!std::getenv("ZR_WRITE_SESSIONS"))
        GTEST_SKIP() << "set ZR_WRITE_SESSIONS=1 to rewrite " << ZR_SESSIONS_DIR;
    for (const SessionCase& c : Cases()) {
        std::string path = SessionFile(c);
        Live proxied = RunLive(c, &path);
        ASSERT_EQ(proxied.outcome.results.size(), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(proxied.outcome.results[i], c.expected[i]) << c.name;
    }
    EXPECT_TRUE(WaitForWorkerThreads(30000));
}

TEST(CommittedSessions, ReplayToTheLiveResults) {
    for (const SessionCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        gwsim::Session session;
        std::string error;
        std::vector<std::string> warnings;
        ASSERT_TRUE(gwsim::LoadSession(SessionFile(c), &session, &error, &warnings)) << error;
        EXPECT_TRUE(warnings.empty()) << warnings.front();
        EXPECT_EQ(session.family, c.family);
        Outcome replayed = RunReplay(c, session);
        Outcome live = RunLive(c, nullptr).outcome;
        ASSERT_EQ(replayed.results.size(), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(replayed.results[i], c.expected[i]);
        EXPECT_EQ(replayed.results, live.results);
        EXPECT_EQ(replayed.store, live.store);
    }
    EXPECT_TRUE(WaitForWorkerThreads(30000));
}

}  // namespace
