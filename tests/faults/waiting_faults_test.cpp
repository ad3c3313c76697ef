// The faults that the library only notices by waiting out a timeout (no
// answer, the connection closed in mid-reply, a connection that never
// completes) and a device refusing connections, on the first exchange of a
// read of each family: each ends as the rules say within generous bounds
// around its timeout, and the next check on the same checker works again.
#include <chrono>
#include <string>

#include "faults_fixture.h"

namespace {

using namespace zrfaults;
using std::chrono::milliseconds;

const struct WaitingCase {
    const char* name;
    const char* spec;  // a fault of the LC query; null: of the connection
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
    if (c.spec)
        b.sim->AddFault(Fault(c.spec + std::string(family == Family::ZEL ? "0x20000000" : "2")));
    else
        b.sim->SetConnectionFault(c.connection);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(b.checks().SetReleaseIds(true, false));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(StoreNow(), AllAttributes(family, c.word));
    EXPECT_TRUE(took >= milliseconds(c.least) && took <= milliseconds(c.most))
        << std::chrono::duration_cast<milliseconds>(took).count();
    EXPECT_EQ(b.checks().PerformAllChecks().ToString().str(), kAllSame);
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

}  // namespace
