// The device state's JSON form (the program run as a child: gwsim_child_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/loopback.h"
#include "tools/gwsim/simulator.h"

namespace fs = std::filesystem;

namespace {

std::string TempFile(const std::string& name, const std::string& content) {
    static int counter = 0;
    fs::path p = fs::temp_directory_path() / ("gwsim_prog_" + zrtest::NextLoopbackAddress({}) +
                                              "_" + std::to_string(counter++) + "_" + name);
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}

TEST(GwsimState, JsonRoundTrip) {
    gwsim::DeviceState s = gwsim::DeviceState::Default(gwsim::Family::ZEL);
    s.cpld_custom = true;
    s.cpld_revision = 4000000000u;
    s.cable = gwsim::CableType::R318;
    s.cable_version = "CPOD_R318_R1.7 \"quoted\"";
    s.pc_serial_text = "from pc";
    s.reboot_ms = 250;
    gwsim::DeviceState back;
    std::string error;
    ASSERT_TRUE(gwsim::DeviceState::FromJson(s.ToJson(), &back, &error)) << error;
    EXPECT_EQ(back, s);

    std::string path = TempFile("state.json", "");
    ASSERT_TRUE(s.SaveFile(path, &error)) << error;
    gwsim::DeviceState loaded;
    ASSERT_TRUE(gwsim::DeviceState::LoadFile(path, &loaded, &error)) << error;
    EXPECT_EQ(loaded, s);
    fs::remove(path);
}

TEST(GwsimState, MissingKeysTakeTheFamilyDefaults) {
    gwsim::DeviceState s;
    std::string error;
    ASSERT_TRUE(
        gwsim::DeviceState::FromJson(R"({"family":"MIR","serial_number":"X1"})", &s, &error));
    gwsim::DeviceState expected = gwsim::DeviceState::Default(gwsim::Family::MIR);
    expected.serial_number = "X1";
    EXPECT_EQ(s, expected);
}

TEST(GwsimState, InvalidStatesAreRejected) {
    const char* bad[] = {
        "",
        "{",
        "[1,2]",
        R"({"family":"XYZ"})",
        R"({"family":"ZEL","lc_release":5})",
        R"({"cpld":"maybe"})",
        R"({"cable":"usb"})",
        R"({"cpld_revision":-1})",
        R"({"cpld_revision":4294967296})",
        R"({"reboot_ms":"soon"})",
        R"({"lc_relaese":"typo"})",
    };
    for (const char* text : bad) {
        gwsim::DeviceState s;
        std::string error;
        EXPECT_FALSE(gwsim::DeviceState::FromJson(text, &s, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    gwsim::DeviceState s;
    std::string error;
    EXPECT_FALSE(gwsim::DeviceState::FromJson("{\n  \"lc_release\": x}", &s, &error));
    EXPECT_NE(error.find("line 2, column 17"), std::string::npos) << error;
    EXPECT_FALSE(gwsim::DeviceState::LoadFile("/nonexistent/dir/state.json", &s, &error));
}

}  // namespace
