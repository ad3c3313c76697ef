// The gwsim program run as a child process: its arguments and exit codes, and
// a device served until a signal stops it.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/child.h"
#include "tests/support/loopback.h"
#include "tests/support/testenv.h"

using Strings = std::vector<std::string>;

// The device's answer to a query, as "status text", waiting for it to listen
// or not (gwsim_test.cpp); empty when there was none.
std::string Ask(const std::string& address, uint16_t port, uint32_t code, bool wait);

namespace {

TEST(GwsimProgram, ArgumentsAndExitCodes) {
    zrtest::TempDir dir;
    dir.Write("bad.json", "{\"family\": \"ZEL\", \"cable\": 3}");
    dir.Write("mir.json", "{\"family\": \"MIR\"}");
    dir.Write("syntax.json", "{\n  \"lc_release\": x}");
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
        {{"serve", z, "ZEL", b, a, "--state", dir.File("syntax.json")}, 2, "line 2, column 17"},
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
        {{"proxy", z, "ZEL", "--device", "127.0.0.1", b, a, "--record", dir.File("no/s.json")},
         1,
         "s.json: No such"},
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
    EXPECT_EQ(Ask(address, 9555, 0x80000000, true), "0 FROM-FILE");
    EXPECT_EQ(Ask(address, 9555, 0x800, true), std::string("0 \0\0\0\x0c", 6));
    EXPECT_EQ(Ask(address, 9555, 0x10000000, true), "6 ");
    EXPECT_EQ(Ask(address, 9555, 0x20000000, true), "0 CPOD_LC_R7.1");  // the last: then the signal
    child.join();
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(Ask(address, 9555, 0x20000000, false), "");
    gwsim::DeviceState saved;
    std::string error;
    ASSERT_TRUE(gwsim::DeviceState::LoadFile(dir.File("saved.json"), &saved, &error)) << error;
    EXPECT_EQ(saved.lc_release, "CPOD_LC_R7.1");
}

}  // namespace
