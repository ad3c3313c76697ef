// The gwsim program run as a child process: its arguments and exit codes, and
// a device served until a signal stops it.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/child.h"
#include "tests/support/frames.h"
#include "tests/support/loopback.h"
#include "tests/support/testenv.h"

using rawclient::Client;
using rawclient::ConnectResult;
using rawclient::Request;
using Strings = std::vector<std::string>;

namespace {

TEST(GwsimProgram, ArgumentsAndExitCodes) {
    zrtest::TempDir dir;
    dir.Write("bad.json", "{\"family\": \"ZEL\", \"cable\": 3}");
    dir.Write("mir.json", "{\"family\": \"MIR\"}");
    auto busy = zrtest::StartSimulator(gwsim::DeviceState::Default(gwsim::Family::ZEL));
    ASSERT_TRUE(busy);
    const std::string z = "--family", b = "--bind", a = zrtest::NextLoopbackAddress();
    const std::vector<std::tuple<Strings, int, std::string>> cases = {
        {{}, 2, ""},
        {{"--family", "ZEL", "--bind", a}, 2, ""},
        {{"serve", b, a}, 2, ""},
        {{"serve", z, "ZEL"}, 2, ""},
        {{"serve", z, "XYZ", b, a}, 2, ""},
        {{"serve", z, "zel", b, a}, 2, ""},
        {{"serve", z, "ZEL", b, "127.0.0"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--port", "70000"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--port", "abc"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--state", dir.File("missing.json")}, 2, "missing.json"},
        {{"serve", z, "ZEL", b, a, "--state", dir.File("bad.json")}, 2, "bad.json"},
        {{"serve", z, "ZEL", b, a, "--state", dir.File("mir.json")}, 2, "MIR"},
        {{"serve", z, "ZEL", b, a, "--save-state", dir.File("no/state.json")}, 2, "state.json"},
        {{"serve", z, "ZEL", b, a, "--fault", "explode"}, 2, "explode"},
        {{"serve", z, "ZEL", b, a, "--connection-fault", "sometimes"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--cpld", "twelve"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--cable", "usb"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--reboot-ms", "-5"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--no-such-option"}, 2, ""},
        {{"serve", z, "ZEL", b, a, "--record", "x.json"}, 2, ""},
        {{"proxy", z, "ZEL", b, a}, 2, ""},
        {{"replay", b, a}, 2, ""},
        {{"replay", dir.File("missing.json"), b, a}, 2, "missing.json"},
        {{"serve", z, "ZEL", b, busy->address()}, 1, busy->address()},
        {{"proxy", "--device", "127.0.0.1", "--record", dir.File("no/s.json"), b, a},
         1,
         "s.json: No such file"},
        {{"serve", "--help"}, 0, "--connection-fault"},
        {{"proxy", "--help"}, 0, "--record"},
        {{"replay", "--help"}, 0, "--no-timing"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::get<0>(k)));
        const zrtest::RunResult r = zrtest::RunChild(GWSIM_PROGRAM, std::get<0>(k));
        EXPECT_EQ(r.exit_code, std::get<1>(k)) << r.out << r.err;
        EXPECT_FALSE((r.out + r.err).empty());
        EXPECT_NE((r.out + r.err).find(std::get<2>(k)), std::string::npos) << r.out << r.err;
    }
}

TEST(GwsimProgram, ServesUntilSigterm) {
    zrtest::TempDir dir;
    dir.Write("state.json", R"({"family":"ZEL","serial_number":"FROM-FILE"})");
    const std::string address = zrtest::NextLoopbackAddress({9555});
    zrtest::RunOptions options;
    options.interrupt_after = {"data \"CPOD_LC_R7.1\""};  // --verbose shows the last reply
    options.terminate = true;
    zrtest::RunResult r;
    std::thread child([&] {
        r = zrtest::RunChild(
            GWSIM_PROGRAM,
            {"serve", "--family", "ZEL", "--bind", address, "--port", "9555", "--state",
             dir.File("state.json"), "--lc", "CPOD_LC_R7.1", "--cpld", "12", "--verbose", "--fault",
             "status:code=0x10000000,status=6", "--save-state", dir.File("saved.json")},
            options);
    });
    {
        Client c;
        for (int i = 0; i < 500 && c.Connect(address, 9555) != ConnectResult::Connected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // until it listens
        auto serial = c.Exchange(Request(0x01, 1, 0x80000000));
        auto cpld = c.Exchange(Request(0x01, 2, 0x800));
        auto prom = c.Exchange(Request(0x01, 3, 0x10000000));
        auto lc = c.Exchange(Request(0x01, 4, 0x20000000));
        EXPECT_TRUE(serial && cpld && prom && lc);
        if (serial && cpld && prom && lc) {
            EXPECT_EQ(serial->text(), "FROM-FILE");
            EXPECT_EQ(cpld->data, (rawclient::Bytes{0, 0, 0, 12}));
            EXPECT_EQ(prom->status, 6u);
            EXPECT_EQ(lc->text(), "CPOD_LC_R7.1");
        }
    }
    child.join();
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(Client().Connect(address, 9555), ConnectResult::Refused);
    gwsim::DeviceState saved;
    std::string error;
    ASSERT_TRUE(gwsim::DeviceState::LoadFile(dir.File("saved.json"), &saved, &error)) << error;
    EXPECT_EQ(saved.lc_release, "CPOD_LC_R7.1");
}

}  // namespace
