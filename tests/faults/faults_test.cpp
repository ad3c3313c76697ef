// Faults of the device, the network and the file system against the library,
// on a checker whose device utilities the tests can reach, against a simulated
// device of either family, with firmware on the PC that matches the healthy
// device, so that a healthy check finds nothing to update.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/attributes.h"
#include "tests/support/loopback.h"
#include "tests/support/syscall_override.h"
#include "tests/support/testenv.h"
#include "tools/gwsim/simulator.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/identityrecords.h"
#include "zodaruruvizi/devices/sollumutils.h"
#include "zodaruruvizi/devices/tarvikutils.h"
#include "zodaruruvizi/devices/valuestore.h"
#include "zodaruruvizi/zodaruruvizi.h"

#ifndef RECORD_WRITER
#define RECORD_WRITER ""  // the writer program is built where processes are started with a shell
#endif

// Puts device utilities of the test's choice into a checker (which then owns
// and deletes them), so that a test can hold the connection open around the
// operations that use it as they find it.
class CGatewayChecksTestAccess {
public:
    static void ReplaceDeviceUtilities(CGatewayChecks& checks, CZodarurUvizi* utilities) {
        delete checks.m_pZodarurUvizi;
        checks.m_pZodarurUvizi = utilities;
    }
};

namespace {

namespace fs = std::filesystem;
using std::to_string;
using std::chrono::milliseconds;
using Keys = std::vector<const char*>;

using gwsim::Family;

template <class Utilities>
struct Reachable : Utilities {
    explicit Reachable(unsigned short port) : Utilities(new CGatewayComms(port)) {}
    CGatewayComms* comms() { return this->m_pGatewayComms; }
};

using Store = std::map<std::string, std::string>;

inline Store StoreNow() {
    return Store(GetValueStore().begin(), GetValueStore().end());
}

// The store with every attribute of the family set to one word.
inline Store AllAttributes(Family family, const char* word) {
    Store s;
    for (const char* key :
         family == Family::ZEL ? zrtest::TarvikAttributes() : zrtest::SollumAttributes())
        s[key] = word;
    return s;
}

// A fault as the simulator's command line spells it ("status:status=5").
inline gwsim::Fault Fault(const std::string& words) {
    gwsim::Fault f;
    std::string error;
    EXPECT_TRUE(gwsim::ParseFault(words, &f, &error)) << words << ": " << error;
    return f;
}

const char kAllSame[] = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,";

struct Bench {
    explicit Bench(Family f) : family(f), checks(f == Family::ZEL ? "ZEL" : "MIR") {
        GetValueStore().clear();
        const gwsim::DeviceState h = gwsim::DeviceState::Default(family);
        const bool zel = family == Family::ZEL;
        dirs.WriteFirmware(zel ? "tarvik_lc.bin" : "sollum_lc.bin", h.lc_release);
        dirs.WriteFirmware(zel ? "tarvik_prom.bin" : "sollum_prom.bin", h.prom_release);
        if (zel) {
            dirs.WriteFirmware("tarvik_bootstrap.bin", h.bootstrap_release);
            dirs.WriteFirmware("tessan_cable.hex", h.cable_version);
            dirs.WriteFirmware("tarvik_mac.bin", h.cable_version);
        }
        gwsim::Options options;
        options.software_dir = dirs.software.path();
        std::string error;
        sim = zrtest::StartSimulator(h, options, &error);
        EXPECT_TRUE(sim) << error;
        if (!sim)
            return;
        if (zel)
            CGatewayChecksTestAccess::ReplaceDeviceUtilities(checks, tarvik = new Tarvik(9191));
        else
            CGatewayChecksTestAccess::ReplaceDeviceUtilities(checks, sollum = new Sollum(9181));
        checks.SetAddress(inet_addr(sim->address().c_str()));
    }
    ~Bench() { GetValueStore().clear(); }

    CGatewayComms* comms() { return tarvik ? tarvik->comms() : sollum->comms(); }
    bool UpdateLc() { return tarvik ? tarvik->UpdateLC() : sollum->UpdateLC(); }
    std::string Check() { return checks.CheckForUpdates(true).ToString().str(); }

    // Clears the device's faults and state and the staged files.
    void Heal() {
        sim->ClearFaults();
        sim->SetConnectionFault(gwsim::ConnectionFault::None);
        sim->WaitForListening(true, std::chrono::seconds(10));
        sim->SetState(gwsim::DeviceState::Default(family));
        for (const char* staged : {"tarvik_lc.load", "tarvik_prom.load", "tarvik_bootstrap.load",
                                   "tarvik_cpld.load", "tarvik_mac.load", "sollum_lc.load"})
            std::remove(dirs.software.File(staged).c_str());
    }

    using Tarvik = Reachable<CTarvikUtils>;
    using Sollum = Reachable<CSollumUtils>;
    zrtest::GatewayDirs dirs;
    zrtest::CapturedLog log;
    std::unique_ptr<gwsim::Simulator> sim;
    Tarvik* tarvik = nullptr;  // owned by the checker
    Sollum* sollum = nullptr;  // owned by the checker
    Family family;
    CGatewayChecks checks;
};

// ---- Every fault that needs no timeout against every exchange: each ends with
// the result and the value-store content that the library's rules give for the
// way the exchange went, and the next check on the same checker, against the
// healthy device again, gives exactly what a healthy check gave before.

// How an exchange goes under a fault, as the PC sees it.
enum Outcome {
    Answered,  // the real reply arrives and is decoded (split, late reply ahead, garbage ahead)
    Rejected,  // the device answers status 5 and no data, and does nothing
    Lost,      // the reply cannot be decoded (declared too long); the device did act
    Overlong,  // status 0 with more data than the caller's room; the device did act
};

const struct FaultCase {
    const char* name;
    Outcome outcome;
    const char* words;
} kFaults[] = {
    {"Status", Rejected, "status:status=5,"}, {"Split", Answered, "split:size=3,pause=5,"},
    {"LateReplyAhead", Answered, "late:"},    {"GarbageAhead", Answered, "garbage:pause=300,"},
    {"DeclaredTooLong", Lost, "oversize:"},   {"MoreThanRoom", Overlong, "oversize:mode=room,"}};

// What the operation did, for the expectations to look at.
struct Did {
    std::string results;  // the check's results, when the operation is a check
    bool result = false;  // the operation's own result, when it has one
    Store store, healthy;
};
using Expect = std::function<void(Bench&, const Did&, Outcome)>;

// The healthy store with some attributes set to word.
Store With(Store s, const Keys& keys, const char* word = "Unknown") {
    for (const char* k : keys)
        s[k] = word;
    return s;
}

// A text query of a full read whose failure or empty text leaves "Unknown"
// under its own attributes, with its message.
Expect Text(Keys keys, const char* message = nullptr) {
    return [=](Bench& b, const Did& r, Outcome o) {
        EXPECT_EQ(r.results, kAllSame);
        EXPECT_EQ(r.store, o == Answered ? r.healthy : With(r.healthy, keys));
        EXPECT_TRUE(!message || o == Answered || b.log.CountText(message) == 1) << message;
    };
}

// The LC query: when it fails the read ends and every attribute is unknown;
// an empty text (Overlong) leaves only its own attributes unknown.
Expect Lc(Family family, Keys keys) {
    return [=](Bench&, const Did& r, Outcome o) {
        EXPECT_EQ(r.results, kAllSame);
        EXPECT_EQ(r.store, o == Answered   ? r.healthy
                           : o == Overlong ? With(r.healthy, keys)
                                           : AllAttributes(family, "Unknown"));
    };
}

// A custom CPLD: R0 and an older CPLD, with its message when logged is set.
void Cpld(Bench& b, const Did& r, bool custom, bool logged) {
    EXPECT_EQ(r.results,
              custom ? "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same, R318:Same," : kAllSame);
    EXPECT_EQ(r.store, custom ? With(r.healthy,
                                     {"Tarvik_CPLD_Release", "Tarvik_CPLD_Release_Untrimmed"}, "R0")
                              : r.healthy);
    EXPECT_TRUE(!logged ||
                b.log.CountText("***** Non-Standard CPLD Detected *****") == (custom ? 1 : 0));
}

// The reset that ends an update: the device resets unless it rejected it (or
// always, when the exchange is the serial-number request ahead of it).
Expect Reset(bool always) {
    return [=](Bench& b, const Did& r, Outcome o) {
        EXPECT_TRUE(r.result);
        EXPECT_EQ(b.sim->ResetCount(), o == Rejected && !always ? 0u : 1u);
        EXPECT_FALSE(b.comms()->IsSocketOpen());
    };
}

size_t CountRequests(Bench& b, uint32_t code) {
    size_t n = 0;
    for (const auto& req : b.sim->Requests())
        n += req.code == code ? 1 : 0;
    return n;
}

enum Op { kCheck, kUpdateLc, kCableUpdate, kSerialText, kPromUpdate };

const struct ExchangeCase {
    const char* name;
    Family family;
    const char* match;  // the fault's request code, qualifier, kind
    Op op;
    Expect expect;
    // Whether nothing more is asked on the connection after it (a failed LC
    // query ends the read): the data of a reply declared too long still
    // arrives after the exchange has failed, and may reach the PC in the
    // same read as the next reply, which is then dropped and waited for.
    bool last = false;
    std::vector<const char*> before = {};  // faults needed before the one under test
} kExchanges[] = {
    {"ZelLc", Family::ZEL, "code=0x20000000", kCheck,
     Lc(Family::ZEL, {"Tarvik_Release", "Tarvik_Release_Untrimmed", "Tarvik_SerialNum"}), true},
    {"ZelProm", Family::ZEL, "code=0x10000000", kCheck,
     Text({"Tarvik_PROM_Release", "Tarvik_PROM_Release_Untrimmed"},
          "Get VSI_GET_PROM_VERSION failed.")},
    {"ZelBootstrap", Family::ZEL, "code=0x01000000", kCheck,
     Text({"Tarvik_Bootstrap_Release", "Tarvik_Bootstrap_Release_Untrimmed"},
          "Get VSI_GET_BOOTSTRAP_VERSION failed.")},
    // Status 1 is a standard CPLD, as is an answer too long; any other
    // status: custom exactly when the bootstrap query then succeeds.
    {"ZelCpld", Family::ZEL, "code=0x800", kCheck,
     [](Bench& b, const Did& r, Outcome o) { Cpld(b, r, o == Rejected || o == Lost, true); }},
    // The CPLD query answers status 7; the extra bootstrap query decides.
    {"ZelCpldBootstrap",
     Family::ZEL,
     "code=0x01000000",
     kCheck,
     [](Bench& b, const Did& r, Outcome o) { Cpld(b, r, o == Answered || o == Overlong, false); },
     false,
     {"split:size=1000000,code=0x01000000,times=1", "status:code=0x800,status=7"}},
    {"ZelCable", Family::ZEL, "code=0x200", kCheck,
     Text({"Tarvik_MAC_Firmware_Release", "Tarvik_MAC_Firmware_Release_Untrimmed",
           "Tarvik_R318_Firmware_Release", "Tarvik_R318_Firmware_Release_Untrimmed"},
          "Get Active Cable (Tessan/R318) firmware version failed.")},
    {"ZelNetworkMac", Family::ZEL, "code=0x00020000,qualifier=0x88000000", kCheck,
     Text({"Tarvik_MACAddress"}, "Get Tarvik MAC Address failed.")},
    {"ZelUsbMac", Family::ZEL, "code=0x00020000,qualifier=0x48000000", kCheck,
     Text({"Tarvik_USBMACAddress"}, "Get Tarvik USB MAC Address failed.")},
    {"ZelSerialNumber", Family::ZEL, "code=0x80000000,kind=1", kCheck, Text({"Tarvik_SerialNum"}),
     true},
    {"ZelSerialRequest", Family::ZEL, "code=0x00400000", kUpdateLc, Reset(true)},
    {"ZelReset", Family::ZEL, "code=0x80000000,kind=2", kUpdateLc, Reset(false), true},
    // A status other than 0 after the exchange is retried once, then reported.
    {"ZelCableUpdate", Family::ZEL, "code=0x400", kCableUpdate,
     [](Bench& b, const Did&, Outcome o) {
         EXPECT_EQ(CountRequests(b, 0x400), o == Rejected || o == Lost ? 2u : 1u);
         EXPECT_EQ(b.log.ErrorCount(), o == Rejected || o == Lost ? 1u : 0u);
     }},
    {"ZelSerialText", Family::ZEL, "code=0x8000", kSerialText,
     [](Bench& b, const Did&, Outcome o) {
         EXPECT_EQ(CountRequests(b, 0x8000), 1u);
         EXPECT_EQ(b.sim->State().pc_serial_text, o == Rejected ? "" : "PC-TEXT-42");
     },
     true},
    {"MirSerialNumber", Family::MIR, "code=1,kind=0x11", kCheck, Text({"Sollum_SerialNum"}), true},
    {"MirLc", Family::MIR, "code=2", kCheck,
     Lc(Family::MIR, {"Sollum_Release", "Sollum_Release_Untrimmed"}), true},
    {"MirProm", Family::MIR, "code=3", kCheck,
     Text({"Sollum_PROM_Release", "Sollum_PROM_Release_Untrimmed"})},
    // Success is a status word of 0 after the exchange; it starts at 0, so a
    // reply that cannot be decoded counts as success.
    {"MirPromUpdate", Family::MIR, "code=9", kPromUpdate,
     [](Bench& b, const Did& r, Outcome o) {
         EXPECT_EQ(r.result, o != Rejected);
         EXPECT_EQ(CountRequests(b, 9), 1u);
         EXPECT_FALSE(b.comms()->IsSocketOpen());
     },
     true},
    {"MirReset", Family::MIR, "code=0x1000000,kind=0x12", kUpdateLc, Reset(false), true},
};

class ExchangeFaultTest
    : public ::testing::TestWithParam<std::tuple<const ExchangeCase*, const FaultCase*>> {};

TEST_P(ExchangeFaultTest, EndsAsTheRulesSayAndLeavesNothingBehind) {
    const ExchangeCase& x = *std::get<0>(GetParam());
    const FaultCase& f = *std::get<1>(GetParam());
    Bench b(x.family);
    ASSERT_TRUE(b.sim);
    // A healthy check first: what every later check must give again.
    const std::string healthyResults = b.Check();
    ASSERT_EQ(healthyResults, kAllSame);
    Did r;
    r.healthy = StoreNow();
    const std::string healthyRecords = b.dirs.logs.Read("Tarvik_Serial_Nums.txt");
    b.sim->ClearRequests();
    b.log.Clear();

    for (const char* words : x.before)
        b.sim->AddFault(Fault(words));
    b.sim->AddFault(Fault(std::string(f.words) + x.match));
    const auto started = std::chrono::steady_clock::now();
    if (x.op == kCheck) {
        r.results = b.Check();
        r.store = StoreNow();
    } else if (x.op == kUpdateLc || x.op == kPromUpdate) {
        r.result = x.op == kUpdateLc ? b.UpdateLc() : b.sollum->UpdatePROM();
    } else {
        EXPECT_TRUE(b.comms()->OpenSocket());
        if (x.op == kCableUpdate)
            b.tarvik->UpdateActiveCableFirmware(CT_MAC);
        else
            b.tarvik->SendSerialNumberText("PC-TEXT-42");
        b.comms()->CloseSocket();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8))
        << "a fault that needs no timeout made the operation wait";
    x.expect(b, r, f.outcome);

    // The same checker against the healthy device again.
    b.Heal();
    EXPECT_EQ(b.Check(), healthyResults);
    EXPECT_EQ(StoreNow(), r.healthy);
    EXPECT_EQ(b.dirs.logs.Read("Tarvik_Serial_Nums.txt"), healthyRecords);
}

std::vector<std::tuple<const ExchangeCase*, const FaultCase*>> AllCases() {
    std::vector<std::tuple<const ExchangeCase*, const FaultCase*>> cases;
    for (const ExchangeCase& x : kExchanges) {
        for (const FaultCase& f : kFaults) {
            if (f.outcome != Lost || x.last)
                cases.emplace_back(&x, &f);
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllExchanges, ExchangeFaultTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)->name) + "_" +
                                    std::get<1>(info.param)->name;
                         });

// ---- The faults that the library only notices by waiting out a timeout (no
// answer, the connection closed in mid-reply, a connection that never
// completes) and a device refusing connections, on the first exchange of a
// read of each family: each ends as the rules say within generous bounds
// around its timeout, and the next check on the same checker works again.

const struct WaitingCase {
    const char* name;
    const char* words;  // a fault of the LC query; null: of the connection
    gwsim::ConnectionFault connection;
    const char* word;  // what every attribute holds afterwards
    int least, most;   // ms: the timeout the library must wait out, and a bound
} kCases[] = {
    {"NoAnswer", "noreply:code=", {}, "Unknown", 9500, 20000},
    {"ClosedMidReply", "closemid:after=10,code=", {}, "Unknown", 9500, 20000},
    {"ConnectionNeverCompletes", nullptr, gwsim::ConnectionFault::NeverComplete, "NotConnected",
     4500, 15000},
    // A refusal never makes the socket writable.
    {"ConnectionRefused", nullptr, gwsim::ConnectionFault::Refuse, "NotConnected", 4500, 15000},
};

class WaitingFaultTest : public ::testing::TestWithParam<std::tuple<Family, const WaitingCase*>> {};

TEST_P(WaitingFaultTest, EndsAfterItsTimeoutAndLeavesNothingBehind) {
    const Family family = std::get<0>(GetParam());
    const WaitingCase& c = *std::get<1>(GetParam());
    Bench b(family);
    ASSERT_TRUE(b.sim);
    const std::string healthyResults = b.Check();
    const Store healthy = StoreNow();
    if (c.words)
        b.sim->AddFault(Fault(c.words + std::string(family == Family::ZEL ? "0x20000000" : "2")));
    else
        b.sim->SetConnectionFault(c.connection);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(b.checks.SetReleaseIds(true, false));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(StoreNow(), AllAttributes(family, c.word));
    EXPECT_TRUE(took >= milliseconds(c.least) && took <= milliseconds(c.most))
        << std::chrono::duration_cast<milliseconds>(took).count();
    EXPECT_EQ(b.checks.PerformAllChecks().ToString().str(), kAllSame);
    b.Heal();
    EXPECT_EQ(b.Check(), healthyResults);
    EXPECT_EQ(StoreNow(), healthy);
}

INSTANTIATE_TEST_SUITE_P(FirstExchange, WaitingFaultTest,
                         ::testing::Combine(::testing::Values(Family::ZEL, Family::MIR),
                                            ::testing::Values(&kCases[0], &kCases[1], &kCases[2],
                                                              &kCases[3])),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Family::ZEL ? "Zel"
                                                                                       : "Mir") +
                                    "_" + std::get<1>(info.param)->name;
                         });

// ---- File-system faults that any system can make: a missing software or log
// directory, and a directory standing where the library expects a file. The
// library reports through its log channels and results, keeps every record it
// had, and throws nothing out of an operation.

const char kRecords[] = "Tarvik_Serial_Nums.txt";

int RecordProblems(const zrtest::CapturedLog& log) {
    int n = 0;
    for (const auto& line : log.Texts("RT_COMMS_E"))
        n += line.rfind("CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems:", 0) == 0;
    return n;
}

TEST(FileSystemFaults, MissingSoftwareOrLogDirectory) {
    for (Family family : {Family::ZEL, Family::MIR}) {
        Bench b(family);
        ASSERT_TRUE(b.sim);
        const std::string missing = b.dirs.software.File("not-there");
        zrtest::ScopedEnv env("GATEWAY_SOFTWARE_DIR", missing.c_str());
        zrtest::ScopedEnv logs("GATEWAY_LOG_DIR", b.dirs.logs.File("not-there").c_str());
        EXPECT_TRUE(b.checks.SetReleaseIds(true, false));  // the read stands
        EXPECT_EQ(RecordProblems(b.log), family == Family::ZEL ? 1 : 0);
        EXPECT_EQ(GetValueStore()[family == Family::ZEL ? "Tarvik_SerialNum" : "Sollum_Release"],
                  family == Family::ZEL ? "ZEL0012345" : "R3.4");
        EXPECT_EQ(b.Check(), kAllSame);  // no file: nothing to compare
        EXPECT_EQ(GetValueStore()[family == Family::ZEL ? "Tarvik_Release" : "Sollum_Release"],
                  family == Family::ZEL ? "R2.10.3" : "R3.4");
        EXPECT_STREQ(b.checks.GetCustomCPLDFileName(), "");
        b.checks.SetCustomCPLDFileName("custom.jed");
        EXPECT_FALSE(b.checks.DeviceFileExists("", CT_LC));
        EXPECT_TRUE(b.UpdateLc());
        EXPECT_EQ(b.sim->ResetCount(), 1u);
        EXPECT_FALSE(fs::exists(missing));
    }
}

// Directories in place of the record file or its temporary file, of the
// staged image and of the custom CPLD setting.
TEST(FileSystemFaults, DirectoryInPlaceOfAFile) {
    const std::string others =
        "ZEL0000001,R1.0,R1.0,R1.0,00:11,00:12\nZEL0000002,R1.1,R1.1,R1.1,00:21,00:22\n";
    for (const std::string name : {"Tarvik_Serial_Nums.txt", "Tarvik_Serial_Nums.txt.tmp"}) {
        SCOPED_TRACE(name);
        Bench b(Family::ZEL);
        ASSERT_TRUE(b.sim);
        b.dirs.logs.Write(kRecords, others);
        fs::remove(b.dirs.logs.File(name));
        fs::create_directory(b.dirs.logs.File(name));
        b.dirs.logs.Write(name + "/inside", "kept");
        for (const char* f : {"tarvik_lc.load", "custom_cpld.txt"})
            fs::create_directory(b.dirs.software.File(f));
        EXPECT_TRUE(b.checks.SetReleaseIds(true, false));
        EXPECT_EQ(RecordProblems(b.log), 1);
        EXPECT_EQ(b.dirs.logs.Read(name + "/inside"), "kept");
        EXPECT_TRUE(name == kRecords || b.dirs.logs.Read(kRecords) == others);

        EXPECT_STREQ(b.checks.GetCustomCPLDFileName(), "");
        b.checks.SetCustomCPLDFileName("custom.jed");
        EXPECT_STREQ(b.checks.GetCustomCPLDFileName(), "");
        b.checks.SetCustomCPLDFileName("");

        const std::string shipped = b.dirs.software.Read("tarvik_lc.bin");
        EXPECT_FALSE(b.tarvik->RenameFile(CT_LC, false));
        EXPECT_TRUE(b.tarvik->UpdateLC());  // the update goes on: its reset is sent
        EXPECT_EQ(b.sim->ResetCount(), 1u);
        EXPECT_EQ(b.dirs.software.Read("tarvik_lc.bin"), shipped);
        EXPECT_FALSE(b.dirs.software.Exists("tarvik_lc.load.partial"));
        EXPECT_EQ(b.Check(), kAllSame);
        for (const std::string& dir :
             {b.dirs.logs.File(name), b.dirs.software.File("tarvik_lc.load"),
              b.dirs.software.File("custom_cpld.txt")})
            EXPECT_TRUE(fs::is_directory(dir)) << dir;
    }
}

// Writers rewriting one long file at once, each with handles of its own (in
// threads and in processes), take turns: none fails and no record is lost.
TEST(FileSystemFaults, ConcurrentRecordWritersLoseNoRecord) {
    const int kWriters = 8;
    std::string others;
    for (int i = 0; i < 20000; ++i)
        others += "ZEL7" + to_string(100000 + i) + ",R1,R1,R1,00:01,00:02\n";
    for (const bool processes : {false, !!*RECORD_WRITER}) {
        zrtest::TempDir dir;
        dir.Write(kRecords, others);
        const std::string path = dir.File(kRecords);
        for (int round = 1; round <= 3; ++round) {
            SCOPED_TRACE(to_string(processes) + " round " + to_string(round));
            std::atomic<int> failed{0};
            std::vector<std::thread> writers;
            for (int w = 0; w < kWriters; ++w) {
                writers.emplace_back([&, w] {
                    const std::string serial = "ZEL900" + to_string(w), r = to_string(round);
                    if (processes) {
                        failed += std::system((std::string(RECORD_WRITER) + " '" + path + "' " +
                                               serial + " " + r)
                                                  .c_str()) != 0;
                        return;
                    }
                    try {
                        StoreIdentityRecord(path.c_str(), serial,
                                            serial + "," + r + ",R1,R1,00:11,00:12", "dropped");
                    } catch (CFileException* e) {
                        e->Delete();
                        ++failed;
                    }
                });
            }
            for (auto& t : writers)
                t.join();
            EXPECT_EQ(failed, 0);
            const auto lines = dir.Lines(kRecords);
            ASSERT_EQ(lines.size(), 20000u + kWriters);
            for (int w = 0; w < kWriters; ++w) {
                const std::string record =
                    "ZEL900" + to_string(w) + "," + to_string(round) + ",R1,R1,00:11,00:12";
                EXPECT_EQ(std::count(lines.begin(), lines.end(), record), 1) << record;
            }
            EXPECT_FALSE(dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
        }
    }
}

std::string Records(int first) {
    std::string s;
    for (int i = first; i < first + 20; ++i)
        s += "ZEL10000" + to_string(100 + i) + ",CPOD_LC_R1." + to_string(i) +
             ",R1.0,R1.0,00:50:C2:00:00:" + to_string(10 + i) + ",Unknown\n";
    return s;
}

// The identity record rewrite stopped at each of its calls in turn, by a
// failing call or by the end of the process (the temporary file being
// written, flushed, moved over the file, the move written through): the file
// is the old one or the new one, whole, and after the next rewrite it is the
// new one with no temporary file left. The device's own earlier line stands
// in the middle; or the device is new and its record goes at the end.
TEST(FileSystemFaults, RecordRewriteStoppedAtAnyCallLeavesAWholeFile) {
    if (!zrtest::SysOverride::Available())
        GTEST_SKIP() << "system calls are injected into the Linux layer only";
    using zrtest::SysCall;
    const int kCrash = zrtest::kCrash;
    const std::string before = Records(0), after = Records(20);
    const std::string replaced = before + "ZEL0012345,R0\n" + after, appended = before + after;
    const std::string own = "ZEL0012345,R2,R1,R1,00:11,00:12";
    const struct {
        bool replace;  // else append
        SysCall call;
        int error;
        int times;  // -1: the call fails from then on, as when the disk is full
    } cases[] = {{true, SysCall::kWrite, ENOSPC, -1}, {true, SysCall::kWrite, EIO, 1},
                 {true, SysCall::kRead, EIO, 1},      {true, SysCall::kFdatasync, EIO, 1},
                 {true, SysCall::kRename, EIO, 1},    {false, SysCall::kWrite, ENOSPC, -1},
                 {true, SysCall::kWrite, kCrash, 1},  {true, SysCall::kFdatasync, kCrash, 1},
                 {true, SysCall::kRename, kCrash, 1}, {false, SysCall::kOpen, kCrash, 1}};
    struct Run {
        std::string path;
        const std::string* own;
        zrtest::SysFault fault;
        bool stored = false;
    };
    // 0 when the rewrite met the fault.
    const auto store = [](void* context) {
        Run& run = *static_cast<Run*>(context);
        zrtest::SysOverride fault(run.fault);
        try {
            StoreIdentityRecord(run.path.c_str(), "ZEL0012345", *run.own, "dropped");
            run.stored = true;
        } catch (CFileException* e) {
            e->Delete();
        }
        return fault.Faults() > 0 ? 0 : 1;
    };
    for (const auto& c : cases) {
        const bool crash = c.error == kCrash;
        const std::string& earlier = c.replace ? replaced : appended;
        const std::string expected =
            c.replace ? before + own + "\n" + after : appended + own + "\n";
        for (int skip = 0;; ++skip) {
            SCOPED_TRACE(to_string(&c - cases) + " from call " + to_string(skip));
            zrtest::TempDir dir;
            dir.Write(kRecords, earlier);
            Run run{dir.File(kRecords), &own, {c.call, c.error, skip, c.times}};
            const int status = crash ? zrtest::InChild(+store, &run) : store(&run);
            if (status == 1)
                break;  // the rewrite ended before reaching the call
            ASSERT_EQ(status, crash ? 86 : 0) << "the child did not end at the call";
            // The new file only once it has been moved into place (a failure
            // to write the move through is still reported).
            const std::string file = dir.Read(kRecords);
            EXPECT_TRUE(file == earlier || file == expected) << file;
            EXPECT_FALSE(run.stored);
            EXPECT_TRUE(crash || !dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
            StoreIdentityRecord(run.path.c_str(), "ZEL0012345", own, "dropped");
            EXPECT_EQ(dir.Read(kRecords), expected);
            EXPECT_FALSE(dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
        }
    }
}

}  // namespace
