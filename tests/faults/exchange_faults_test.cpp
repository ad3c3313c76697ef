// Every fault of the simulated device that does not wait out a timeout,
// against every exchange of both families: each ends with the result and the
// value-store content that the library's rules give for the way the exchange
// went, and the next check on the same checker, against the healthy device
// again, gives exactly what a healthy check gave before the fault.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "faults_fixture.h"

namespace {

using namespace zrfaults;
using Keys = std::vector<const char*>;

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
    const char* spec;
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

    for (const char* spec : x.before)
        b.sim->AddFault(Fault(spec));
    b.sim->AddFault(Fault(std::string(f.spec) + x.match));
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

}  // namespace
