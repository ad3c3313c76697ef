// The faults that the library only notices by waiting out a timeout (no
// answer, the connection closed in mid-reply, a connection that never
// completes) and a device refusing connections, on the first exchange of a
// read of each family: each ends as the rules say within generous bounds
// around its timeout, and the next check on the same checker works again.
#include <chrono>
#include <functional>
#include <string>

#include "faults_fixture.h"

namespace {

using gwsim::Family;
using std::chrono::milliseconds;
using std::chrono::seconds;
using zrfaults::Bench;
using zrfaults::Store;

struct WaitingCase {
    const char* name;
    std::function<void(gwsim::Simulator&, uint32_t lcCode)> inject;
    const char* word;    // what every attribute holds afterwards
    milliseconds least;  // the timeout the library must wait out
    milliseconds most;
};

const WaitingCase kCases[] = {
    {"NoAnswer",
     [](gwsim::Simulator& sim, uint32_t code) {
         gwsim::Fault f;
         f.kind = gwsim::FaultKind::NoReply;
         f.code = code;
         sim.AddFault(f);
     },
     "Unknown", milliseconds(9500), seconds(20)},
    {"ClosedMidReply",
     [](gwsim::Simulator& sim, uint32_t code) {
         gwsim::Fault f;
         f.kind = gwsim::FaultKind::CloseMidReply;
         f.code = code;
         f.close_after = 10;
         sim.AddFault(f);
     },
     "Unknown", milliseconds(9500), seconds(20)},
    {"ConnectionNeverCompletes",
     [](gwsim::Simulator& sim, uint32_t) {
         sim.SetConnectionFault(gwsim::ConnectionFault::NeverComplete);
     },
     "NotConnected", milliseconds(4500), seconds(15)},
    {"ConnectionRefused",
     [](gwsim::Simulator& sim, uint32_t) {
         sim.SetConnectionFault(gwsim::ConnectionFault::Refuse);
     },
     "NotConnected", milliseconds(4500), seconds(15)},  // a refusal never makes the socket writable
};

class WaitingFaultTest : public ::testing::TestWithParam<std::tuple<Family, const WaitingCase*>> {};

TEST_P(WaitingFaultTest, EndsAfterItsTimeoutAndLeavesNothingBehind) {
    const Family family = std::get<0>(GetParam());
    const WaitingCase& c = *std::get<1>(GetParam());
    Bench b(family);
    ASSERT_TRUE(b.sim);
    const std::string healthyResults = b.Check();
    const Store healthy = zrfaults::StoreNow();

    c.inject(*b.sim, family == Family::ZEL ? 0x20000000u : 2u);
    const auto started = std::chrono::steady_clock::now();
    const bool read = b.checks().SetReleaseIds(true, false);
    const auto took =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_FALSE(read);
    EXPECT_EQ(zrfaults::StoreNow(), zrfaults::AllAttributes(family, c.word));
    EXPECT_GE(took, c.least);
    EXPECT_LE(took, c.most);
    EXPECT_EQ(b.checks().PerformAllChecks().ToString().str(), zrfaults::kAllSame);
    RecordProperty("milliseconds", int(took.count()));

    b.Heal();
    EXPECT_EQ(b.Check(), healthyResults);
    EXPECT_EQ(zrfaults::StoreNow(), healthy);
}

INSTANTIATE_TEST_SUITE_P(FirstExchange, WaitingFaultTest,
                         ::testing::Combine(::testing::Values(Family::ZEL, Family::MIR),
                                            ::testing::ValuesIn([] {
                                                std::vector<const WaitingCase*> v;
                                                for (const WaitingCase& c : kCases)
                                                    v.push_back(&c);
                                                return v;
                                            }())),
                         [](const ::testing::TestParamInfo<WaitingFaultTest::ParamType>& info) {
                             return std::string(std::get<0>(info.param) == Family::ZEL ? "Zel"
                                                                                       : "Mir") +
                                    "_" + std::get<1>(info.param)->name;
                         });

}  // namespace
