// The library against recorded sessions: CGatewayChecks through the recording
// proxy gives what it gives without it, and the replay of that recording gives
// it again, faults included; so does the replay of the case's committed
// session in tests/sessions/, which the generator below (re)makes:
//
//   ZR_WRITE_SESSIONS=1 ./session_replay_test --gtest_filter='CommittedSessions.Generate'
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/loopback.h"
#include "tests/support/testenv.h"
#include "zodaruruvizi/devices/valuestore.h"
#include "zodaruruvizi/zodaruruvizi.h"

namespace {

using Files = std::vector<std::pair<const char*, const char*>>;
const Files kZel = {{"tarvik_lc.bin", "CPOD_LC_R2.10.3"},
                    {"tarvik_prom.bin", "CPOD_PROM_R1.4.0"},
                    {"tarvik_bootstrap.bin", "CPOD_BOOT_R1.0.2"},
                    {"tessan_cable.hex", "CPOD_TSN_R2.4"},
                    {"tarvik_mac.bin", "CPOD_TSN_R2.4"}};
const char kAllSame[] = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,";

// A device (its state as JSON), its faults, the firmware on the PC (after the
// family's), and what the check finds; with two results, the first differing
// component is updated and checked again.
struct SessionCase {
    const char* name;  // the file in tests/sessions/ is NAME.json
    const char* state;
    std::vector<const char*> faults;
    Files firmware;
    std::vector<std::string> expected;
};

const std::vector<SessionCase> kCases = {
    {"zel_all_same", R"({"family":"ZEL"})", {}, {}, {kAllSame}},
    {"zel_lc_older_split_late",
     R"({"family":"ZEL"})",
     {"split:code=0x20000000,size=4,pause=5", "late:code=0x10000000"},
     {{"tarvik_lc.bin", "CPOD_LC_R2.11"}},
     {"LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,"}},
    {"zel_cable_older_garbage",
     R"({"family":"ZEL","cable_version":"CPOD_TSN_R2.3","cpld":"custom","cpld_revision":5})",
     {"garbage:code=0x200,pause=150"},
     {},
     {"LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Older, R318:Same,"}},
    {"zel_prom_update_reset",
     R"({"family":"ZEL","prom_release":"CPOD_PROM_R1.3.9"})",
     {"split:code=0x10000000,size=9,pause=3"},
     {},
     {"LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,", kAllSame}},
    {"mir_prom_older_split",
     R"({"family":"MIR"})",
     {"split:code=3,size=6,pause=5"},
     {{"sollum_lc.bin", "MIR Release 3.4"}, {"sollum_prom.bin", "MIR Release 1.3"}},
     {"LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,"}},
};

bool Zel(const SessionCase& c) {
    return std::string(c.state).find("ZEL") != std::string::npos;
}

struct Outcome {
    std::vector<std::string> results;
    ValueStoreMap store;
    std::vector<gwsim::Bytes> device, recorded;  // requests seen, recorded
};

// The case's checks through CGatewayChecks against the device at `address`,
// with the case's firmware in fresh directories.
void RunChecks(const SessionCase& c, const std::string& address, Outcome* o) {
    zrtest::GatewayDirs dirs;
    for (const auto& f : Zel(c) ? kZel : Files())
        dirs.WriteFirmware(f.first, f.second);
    for (const auto& f : c.firmware)
        dirs.WriteFirmware(f.first, f.second);
    GetValueStore().clear();
    {
        CGatewayChecks checks(Zel(c) ? "ZEL" : "MIR");
        checks.SetAddress(inet_addr(address.c_str()));
        CCodeDiffResults r = checks.CheckForUpdates(true);
        o->results.push_back(std::string(r.ToString()));
        if (c.expected.size() > 1) {
            checks.PerformUpdate(r);
            EXPECT_TRUE(WaitForWorkerThreads(30000)) << c.name;
            o->results.push_back(std::string(checks.CheckForUpdates(true).ToString()));
        }
    }
    o->store = GetValueStore();
    GetValueStore().clear();
}

// The case against a fresh simulated device, through a recording proxy when
// `record` is given. The device finds the PC's staged images through
// GATEWAY_SOFTWARE_DIR, which RunChecks sets.
Outcome RunLive(const SessionCase& c, const std::string* record) {
    Outcome o;
    gwsim::DeviceState state;
    std::string error;
    EXPECT_TRUE(gwsim::DeviceState::FromJson(c.state, &state, &error)) << error;
    auto sim = zrtest::StartSimulator(state, gwsim::Options(), &error);
    EXPECT_TRUE(sim) << error;
    if (!sim)
        return o;
    for (const char* spec : c.faults) {
        gwsim::Fault f;
        EXPECT_TRUE(gwsim::ParseFault(spec, &f, &error)) << error;
        sim->AddFault(f);
    }
    auto proxy = record ? zrtest::StartProxy(*sim, *record, &error) : nullptr;
    EXPECT_TRUE(proxy || !record) << error;
    RunChecks(c, proxy ? proxy->address() : sim->address(), &o);
    if (proxy) {
        EXPECT_TRUE(proxy->WaitForIdle(std::chrono::seconds(5)));
        proxy->Stop();
        EXPECT_TRUE(proxy->RecordingHealthy(&error)) << error;
        for (const gwsim::RecordedRequest& request : proxy->Requests())
            o.recorded.push_back(gwsim::EncodeRequest(request));
    }
    for (const gwsim::RecordedRequest& request : sim->Requests())
        o.device.push_back(gwsim::EncodeRequest(request));
    return o;
}

Outcome RunReplay(const SessionCase& c, const gwsim::Session& session,
                  std::vector<gwsim::ReplayMatch>* matches = nullptr) {
    Outcome o;
    std::string error;
    auto replay = zrtest::StartReplay(session, true, &error);
    EXPECT_TRUE(replay) << error;
    if (!replay)
        return o;
    RunChecks(c, replay->address(), &o);
    replay->Stop();
    EXPECT_TRUE(replay->Unmatched().empty())
        << c.name << ": " << gwsim::DescribeRequest(replay->Unmatched().front());
    if (matches)
        *matches = replay->Matches();
    return o;
}

std::string SessionFile(const SessionCase& c) {
    return std::string(ZR_SESSIONS_DIR) + "/" + c.name + ".json";
}

class SessionReplayTest : public ::testing::TestWithParam<size_t> {
protected:
    void TearDown() override { EXPECT_TRUE(WaitForWorkerThreads(30000)); }
};

TEST_P(SessionReplayTest, ProxyAndReplayGiveTheLibraryTheLiveResults) {
    const SessionCase& c = kCases[GetParam()];
    const Outcome direct = RunLive(c, nullptr);
    EXPECT_EQ(direct.results, c.expected);
    EXPECT_FALSE(direct.store.empty());

    zrtest::TempDir dir;
    const std::string path = dir.File("session.json");
    const Outcome proxied = RunLive(c, &path);
    EXPECT_EQ(proxied.results, direct.results);
    EXPECT_EQ(proxied.store, direct.store);
    // The recording holds every request the device saw, as it saw it.
    EXPECT_EQ(proxied.recorded, proxied.device);

    gwsim::Session session;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(gwsim::LoadSession(path, &session, &error, &warnings)) << error;
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    ASSERT_EQ(session.exchanges.size(), proxied.device.size());
    bool reset = false;
    for (const gwsim::Exchange& x : session.exchanges) {
        EXPECT_EQ(x.PieceBytes(), x.SegmentBytes()) << c.name << " exchange " << x.number;
        reset = reset || (x.request.kind & 0x0F) == 0x02;
    }
    EXPECT_EQ(reset, c.expected.size() > 1) << "the update's reset request is recorded";

    std::vector<gwsim::ReplayMatch> matches;
    const Outcome replayed = RunReplay(c, session, &matches);
    EXPECT_EQ(replayed.results, direct.results);
    EXPECT_EQ(replayed.store, direct.store);
    ASSERT_EQ(matches.size(), session.exchanges.size());
    for (size_t i = 0; i < matches.size(); ++i) {
        EXPECT_EQ(matches[i].exchange, i + 1) << c.name;
        EXPECT_TRUE(matches[i].in_order) << c.name << " " << i;
    }

    // The committed recording of the case replays to the same results.
    gwsim::Session committed;
    ASSERT_TRUE(gwsim::LoadSession(SessionFile(c), &committed, &error, &warnings)) << error;
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_EQ(committed.family, session.family);
    const Outcome again = RunReplay(c, committed);
    EXPECT_EQ(again.results, direct.results);
    EXPECT_EQ(again.store, direct.store);
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionReplayTest, ::testing::Range(size_t(0), kCases.size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(kCases[info.param].name);
                         });

// Rewrites tests/sessions/ (only when asked to, since it changes the sources).
TEST(CommittedSessions, Generate) {
    if (!std::getenv("ZR_WRITE_SESSIONS"))
        GTEST_SKIP() << "set ZR_WRITE_SESSIONS=1 to rewrite " << ZR_SESSIONS_DIR;
    for (const SessionCase& c : kCases) {
        const std::string path = SessionFile(c);
        EXPECT_EQ(RunLive(c, &path).results, c.expected) << c.name;
    }
    EXPECT_TRUE(WaitForWorkerThreads(30000));
}

}  // namespace
