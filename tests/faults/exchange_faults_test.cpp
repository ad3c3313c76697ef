// Every fault of the simulated device that does not wait out a timeout,
// against every exchange of both families: each ends with the result and the
// value-store content that the library's rules give for the way the exchange
// went, and the next check on the same checker, against the healthy device
// again, gives exactly what a healthy check gave before the fault.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "faults_fixture.h"

namespace {

using gwsim::Family;
using gwsim::Fault;
using gwsim::FaultKind;
using std::chrono::seconds;
using zrfaults::Bench;
using zrfaults::Store;

// How an exchange goes under a fault, as the PC sees it.
enum class Outcome {
    Answered,  // the real reply arrives and is decoded (split, late reply ahead, garbage ahead)
    Rejected,  // the device answers status 5 and no data, and does nothing
    Lost,      // the reply cannot be decoded (declared too long); the device did act
    Overlong,  // status 0 with more data than the caller's room; the device did act
};

struct FaultCase {
    const char* name;
    Outcome outcome;
    std::function<Fault()> make;
};

Fault Make(FaultKind kind) {
    Fault f;
    f.kind = kind;
    return f;
}

const FaultCase kFaults[] = {
    {"Status", Outcome::Rejected,
     [] {
         Fault f = Make(FaultKind::Status);
         f.status = 5;
         return f;
     }},
    {"Split", Outcome::Answered,
     [] {
         Fault f = Make(FaultKind::Split);
         f.segment_size = 3;
         f.pause_ms = 5;
         return f;
     }},
    {"LateReplyAhead", Outcome::Answered, [] { return Make(FaultKind::LateReplyFirst); }},
    {"GarbageAhead", Outcome::Answered,
     [] {
         Fault f = Make(FaultKind::GarbageFirst);
         f.pause_ms = 300;
         return f;
     }},
    {"DeclaredTooLong", Outcome::Lost, [] { return Make(FaultKind::Oversized); }},
    {"MoreThanRoom", Outcome::Overlong,
     [] {
         Fault f = Make(FaultKind::Oversized);
         f.oversize = gwsim::OversizeMode::MoreThanRoom;
         return f;
     }},
};

// What the exchange's operation did, for the expectations to look at.
struct Outcomes {
    std::string results;  // the check's results, when the operation is a check
    bool result = false;  // the operation's own result, when it has one
    Store store;
};

struct ExchangeCase {
    const char* name;
    Family family;
    uint32_t code;
    std::optional<uint32_t> qualifier;
    std::optional<uint8_t> kind;
    // Faults or settings needed before the fault under test (may be null).
    std::function<void(Bench&)> prepare;
    // Runs the operation that makes the exchange.
    std::function<Outcomes(Bench&)> operate;
    // Checks what the operation left, given how the exchange went.
    std::function<void(Bench&, const Outcomes&, const Store& healthy, Outcome)> expect;
};

Outcomes DoCheck(Bench& b) {
    Outcomes r;
    r.results = b.Check();
    r.store = zrfaults::StoreNow();
    return r;
}

// The healthy store with some attributes replaced.
Store With(Store s, const Store& changes) {
    for (const auto& c : changes)
        s[c.first] = c.second;
    return s;
}

// A text query of a full read whose failure or empty text leaves "Unknown"
// under its own attributes, with its message.
std::function<void(Bench&, const Outcomes&, const Store&, Outcome)> TextQuery(
    std::vector<const char*> keys, const char* message) {
    return [keys, message](Bench& b, const Outcomes& r, const Store& healthy, Outcome o) {
        EXPECT_EQ(r.results, zrfaults::kAllSame);
        if (o == Outcome::Answered) {
            EXPECT_EQ(r.store, healthy);
            return;
        }
        Store changes;
        for (const char* k : keys)
            changes[k] = "Unknown";
        EXPECT_EQ(r.store, With(healthy, changes));
        if (message) {
            EXPECT_EQ(b.log.CountText(message), 1) << message;
        }
    };
}

void ExpectZelLc(Bench&, const Outcomes& r, const Store& healthy, Outcome o) {
    EXPECT_EQ(r.results, zrfaults::kAllSame);
    switch (o) {
        case Outcome::Answered:
            EXPECT_EQ(r.store, healthy);
            break;
        case Outcome::Rejected:
        case Outcome::Lost:  // the read ends: every attribute unknown
            EXPECT_EQ(r.store, zrfaults::AllAttributes(Family::ZEL, "Unknown"));
            break;
        case Outcome::Overlong:  // an empty LC text: no short form, so no serial number
            EXPECT_EQ(r.store, With(healthy, {{"Tarvik_Release", "Unknown"},
                                              {"Tarvik_Release_Untrimmed", "Unknown"},
                                              {"Tarvik_SerialNum", "Unknown"}}));
            break;
    }
}

void ExpectZelCpld(Bench& b, const Outcomes& r, const Store& healthy, Outcome o) {
    if (o == Outcome::Answered || o == Outcome::Overlong) {  // standard: status 1 either way
        EXPECT_EQ(r.results, zrfaults::kAllSame);
        EXPECT_EQ(r.store, healthy);
        return;
    }
    // Any other status: custom exactly when the bootstrap query then succeeds.
    EXPECT_EQ(r.store, With(healthy, {{"Tarvik_CPLD_Release", "R0"},
                                      {"Tarvik_CPLD_Release_Untrimmed", "R0"}}));
    EXPECT_EQ(r.results, "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same, R318:Same,");
    EXPECT_EQ(b.log.CountText("***** Non-Standard CPLD Detected *****"), 1);
}

void ExpectZelCpldBootstrap(Bench&, const Outcomes& r, const Store& healthy, Outcome o) {
    // The CPLD query answers status 7; the extra bootstrap query decides.
    if (o == Outcome::Rejected || o == Outcome::Lost) {
        EXPECT_EQ(r.results, zrfaults::kAllSame);
        EXPECT_EQ(r.store, healthy);
    } else {
        EXPECT_EQ(r.results, "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same, R318:Same,");
        EXPECT_EQ(r.store, With(healthy, {{"Tarvik_CPLD_Release", "R0"},
                                          {"Tarvik_CPLD_Release_Untrimmed", "R0"}}));
    }
}

void ExpectMirLc(Bench&, const Outcomes& r, const Store& healthy, Outcome o) {
    EXPECT_EQ(r.results, zrfaults::kAllSame);
    switch (o) {
        case Outcome::Answered:
            EXPECT_EQ(r.store, healthy);
            break;
        case Outcome::Rejected:
        case Outcome::Lost:
            EXPECT_EQ(r.store, zrfaults::AllAttributes(Family::MIR, "Unknown"));
            break;
        case Outcome::Overlong:
            EXPECT_EQ(r.store, With(healthy, {{"Sollum_Release", "Unknown"},
                                              {"Sollum_Release_Untrimmed", "Unknown"}}));
            break;
    }
}

Outcomes DoUpdateLc(Bench& b) {
    Outcomes r;
    r.result = b.tarvik ? b.tarvik->UpdateLC() : b.sollum->UpdateLC();
    return r;
}

// The reset that ends an update: the device resets unless it rejected it.
void ExpectReset(Bench& b, const Outcomes& r, const Store&, Outcome o) {
    EXPECT_TRUE(r.result);
    EXPECT_EQ(b.sim->ResetCount(), o == Outcome::Rejected ? 0u : 1u);
    EXPECT_FALSE(b.comms()->IsSocketOpen());
}

// The serial-number request ahead of the reset: its answer is not looked at.
void ExpectResetAfterSerialRequest(Bench& b, const Outcomes& r, const Store&, Outcome) {
    EXPECT_TRUE(r.result);
    EXPECT_EQ(b.sim->ResetCount(), 1u);
    EXPECT_FALSE(b.comms()->IsSocketOpen());
}

size_t CountRequests(Bench& b, uint32_t code) {
    size_t n = 0;
    for (const auto& req : b.sim->Requests())
        n += req.code == code ? 1 : 0;
    return n;
}

Outcomes DoCableUpdate(Bench& b) {
    EXPECT_TRUE(b.comms()->OpenSocket());
    b.tarvik->UpdateActiveCableFirmware(CT_MAC);
    b.comms()->CloseSocket();
    return Outcomes();
}

void ExpectCableUpdate(Bench& b, const Outcomes&, const Store&, Outcome o) {
    // A status other than 0 after the exchange is retried once, then reported.
    const bool failed = o == Outcome::Rejected || o == Outcome::Lost;
    EXPECT_EQ(CountRequests(b, 0x400), failed ? 2u : 1u);
    EXPECT_EQ(b.log.ErrorCount(), failed ? 1u : 0u);
}

Outcomes DoSerialText(Bench& b) {
    EXPECT_TRUE(b.comms()->OpenSocket());
    b.tarvik->SendSerialNumberText("PC-TEXT-42");
    b.comms()->CloseSocket();
    return Outcomes();
}

void ExpectSerialText(Bench& b, const Outcomes&, const Store&, Outcome o) {
    EXPECT_EQ(CountRequests(b, 0x8000), 1u);
    EXPECT_EQ(b.sim->State().pc_serial_text, o == Outcome::Rejected ? "" : "PC-TEXT-42");
}

Outcomes DoPromUpdate(Bench& b) {
    Outcomes r;
    r.result = b.sollum->UpdatePROM();
    return r;
}

void ExpectPromUpdate(Bench& b, const Outcomes& r, const Store&, Outcome o) {
    // Success is a status word of 0 after the exchange; it starts at 0, so a
    // reply that cannot be decoded counts as success.
    EXPECT_EQ(r.result, o != Outcome::Rejected);
    EXPECT_EQ(CountRequests(b, 9), 1u);
    EXPECT_FALSE(b.comms()->IsSocketOpen());
}

Fault PassOnce(uint32_t code) {
    // A segment larger than any reply: the answer arrives as it would unfaulted.
    Fault f;
    f.kind = FaultKind::Split;
    f.segment_size = 1 << 20;
    f.code = code;
    f.times = 1;
    return f;
}

const ExchangeCase kExchanges[] = {
    {"ZelLc", Family::ZEL, 0x20000000, {}, {}, nullptr, DoCheck, ExpectZelLc},
    {"ZelProm",
     Family::ZEL,
     0x10000000,
     {},
     {},
     nullptr,
     DoCheck,
     TextQuery({"Tarvik_PROM_Release", "Tarvik_PROM_Release_Untrimmed"},
               "Get VSI_GET_PROM_VERSION failed.")},
    {"ZelBootstrap",
     Family::ZEL,
     0x01000000,
     {},
     {},
     nullptr,
     DoCheck,
     TextQuery({"Tarvik_Bootstrap_Release", "Tarvik_Bootstrap_Release_Untrimmed"},
               "Get VSI_GET_BOOTSTRAP_VERSION failed.")},
    {"ZelCpld", Family::ZEL, 0x800, {}, {}, nullptr, DoCheck, ExpectZelCpld},
    {"ZelCpldBootstrap",
     Family::ZEL,
     0x01000000,
     {},
     {},
     [](Bench& b) {
         b.sim->AddFault(PassOnce(0x01000000));  // the ordinary bootstrap query
         Fault cpld;
         cpld.kind = FaultKind::Status;
         cpld.code = 0x800;
         cpld.status = 7;
         b.sim->AddFault(cpld);
     },
     DoCheck,
     ExpectZelCpldBootstrap},
    {"ZelCable",
     Family::ZEL,
     0x200,
     {},
     {},
     nullptr,
     DoCheck,
     TextQuery({"Tarvik_MAC_Firmware_Release", "Tarvik_MAC_Firmware_Release_Untrimmed",
                "Tarvik_R318_Firmware_Release", "Tarvik_R318_Firmware_Release_Untrimmed"},
               "Get Active Cable (Tessan/R318) firmware version failed.")},
    {"ZelNetworkMac",
     Family::ZEL,
     0x00020000,
     0x88000000u,
     {},
     nullptr,
     DoCheck,
     TextQuery({"Tarvik_MACAddress"}, "Get Tarvik MAC Address failed.")},
    {"ZelUsbMac",
     Family::ZEL,
     0x00020000,
     0x48000000u,
     {},
     nullptr,
     DoCheck,
     TextQuery({"Tarvik_USBMACAddress"}, "Get Tarvik USB MAC Address failed.")},
    {"ZelSerialNumber",
     Family::ZEL,
     0x80000000,
     {},
     uint8_t(0x01),
     nullptr,
     DoCheck,
     TextQuery({"Tarvik_SerialNum"}, nullptr)},
    {"ZelSerialRequest",
     Family::ZEL,
     0x00400000,
     {},
     {},
     nullptr,
     DoUpdateLc,
     ExpectResetAfterSerialRequest},
    {"ZelReset", Family::ZEL, 0x80000000, {}, uint8_t(0x02), nullptr, DoUpdateLc, ExpectReset},
    {"ZelCableUpdate", Family::ZEL, 0x400, {}, {}, nullptr, DoCableUpdate, ExpectCableUpdate},
    {"ZelSerialText", Family::ZEL, 0x8000, {}, {}, nullptr, DoSerialText, ExpectSerialText},
    {"MirSerialNumber",
     Family::MIR,
     1,
     {},
     uint8_t(0x11),
     nullptr,
     DoCheck,
     TextQuery({"Sollum_SerialNum"}, nullptr)},
    {"MirLc", Family::MIR, 2, {}, {}, nullptr, DoCheck, ExpectMirLc},
    {"MirProm",
     Family::MIR,
     3,
     {},
     {},
     nullptr,
     DoCheck,
     TextQuery({"Sollum_PROM_Release", "Sollum_PROM_Release_Untrimmed"}, nullptr)},
    {"MirPromUpdate", Family::MIR, 9, {}, {}, nullptr, DoPromUpdate, ExpectPromUpdate},
    {"MirReset", Family::MIR, 0x1000000, {}, uint8_t(0x12), nullptr, DoUpdateLc, ExpectReset},
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
    ASSERT_EQ(healthyResults, zrfaults::kAllSame);
    const Store healthy = zrfaults::StoreNow();
    const std::string healthyRecords = b.dirs.logs.Read("Tarvik_Serial_Nums.txt");
    b.sim->ClearRequests();
    b.log.Clear();

    if (x.prepare)
        x.prepare(b);
    Fault fault = f.make();
    fault.code = x.code;
    fault.qualifier = x.qualifier;
    fault.request_kind = x.kind;
    b.sim->AddFault(fault);
    const auto started = std::chrono::steady_clock::now();
    const Outcomes run = x.operate(b);
    const auto took = std::chrono::steady_clock::now() - started;
    x.expect(b, run, healthy, f.outcome);
    EXPECT_LT(took, seconds(8)) << "a fault that needs no timeout made the operation wait";

    // The same checker against the healthy device again.
    b.Heal();
    EXPECT_EQ(b.Check(), healthyResults);
    EXPECT_EQ(zrfaults::StoreNow(), healthy);
    EXPECT_EQ(b.dirs.logs.Read("Tarvik_Serial_Nums.txt"), healthyRecords);
}

// The data of a reply declared too long still arrives after the exchange has
// failed, and may reach the PC in the same read as the next reply on the same
// connection, which is then dropped as unwanted and waited for until the
// timeout. So that fault runs on the exchanges after which nothing more is
// asked on the connection (a failed LC query ends the read).
bool LastOnItsConnection(const ExchangeCase& x) {
    for (const char* name : {"ZelLc", "ZelSerialNumber", "ZelReset", "ZelSerialText", "MirLc",
                             "MirSerialNumber", "MirPromUpdate", "MirReset"}) {
        if (std::string(name) == x.name)
            return true;
    }
    return false;
}

std::vector<std::tuple<const ExchangeCase*, const FaultCase*>> AllCases() {
    std::vector<std::tuple<const ExchangeCase*, const FaultCase*>> cases;
    for (const ExchangeCase& x : kExchanges) {
        for (const FaultCase& f : kFaults) {
            if (f.outcome == Outcome::Lost && !LastOnItsConnection(x))
                continue;
            cases.emplace_back(&x, &f);
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllExchanges, ExchangeFaultTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<ExchangeFaultTest::ParamType>& info) {
                             return std::string(std::get<0>(info.param)->name) + "_" +
                                    std::get<1>(info.param)->name;
                         });

}  // namespace
