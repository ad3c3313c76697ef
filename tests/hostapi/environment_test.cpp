#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hostapi/environment.h"
#include "tests/support/testenv.h"
#include "tools/gwsim/simulator.h"

namespace {

using zrtest::GatewayDirs;
using zrtest::ScopedEnv;

TEST(EnvironmentTest, LocationsComeFromTheEnvironmentWithoutTrailingSeparator) {
    ScopedEnv software("GATEWAY_SOFTWARE_DIR", "/opt/fw/");
    ScopedEnv logs("GATEWAY_LOG_DIR", "C:\\logs\\\\");
    EXPECT_STREQ(CGatewayFileUtils::GetDefaultSoftwareLocation(), "/opt/fw");
    CString logDir;
    EXPECT_EQ(CSystemInfo::GetLogFilesPath(logDir), 7);
    EXPECT_STREQ(logDir, "C:\\logs");
    ScopedEnv unset("GATEWAY_SOFTWARE_DIR", nullptr);
    EXPECT_NE(CGatewayFileUtils::GetDefaultSoftwareLocation().Find("gateway_software"), -1);
}

// The simulator reads firmware files with a rule of its own: every row holds
// for the library and for the simulator.
TEST(EnvironmentTest, ReleaseMarkerRules) {
    GatewayDirs dirs;
    CGatewayFileUtils utils;
    const std::string m = "@(#)RELEASE=", pad(1000, '\x01');
    const size_t mib = 1024 * 1024;
    const struct {
        std::string content;  // after 1000 bytes of padding
        std::string release;  // empty: none found
    } cases[] = {{m + "CPOD_LC_R2.10.3", "CPOD_LC_R2.10.3"},
                 {m + "  MIR Release 3.4 \t\r\nnext line", "MIR Release 3.4"},
                 {m + std::string("CPOD_X_R1\0tail", 14), "CPOD_X_R1"},
                 {m + "A\n" + m + "B", "A"},
                 {m + std::string(200, 'x'), std::string(127, 'x')},
                 {"RELEASE=CPOD_LC_R1", ""},
                 {m + "\r\n", ""},
                 {m + "   ", ""},
                 {"", ""},
                 {"@(#)RELEA", ""},
                 {std::string(mib - 1000, 'z') + m + "R9", ""},  // only the first MiB is searched
                 {std::string(mib - 1000 - m.size() - 2, 'z') + m + "R9", "R9"}};
    for (const auto& c : cases) {
        dirs.software.Write("fw.bin", pad + c.content);
        CString version("untouched");
        std::string sim;
        EXPECT_EQ(utils.GetTarvikVersionFromFile("fw.bin", version), !c.release.empty());
        EXPECT_EQ(gwsim::ReadReleaseFromFile(dirs.software.File("fw.bin"), &sim),
                  !c.release.empty());
        EXPECT_EQ(std::string(version), c.release.empty() ? "untouched" : c.release);
        EXPECT_EQ(c.release.empty() ? c.release : sim, c.release);
    }
    CString version;
    std::string sim;
    EXPECT_FALSE(utils.GetSollumVersionFromFile("missing.bin", version) ||
                 utils.GetSollumVersionFromFile("", version));
    EXPECT_FALSE(gwsim::ReadReleaseFromFile(dirs.software.File("missing.bin"), &sim));
}

TEST(EnvironmentTest, StagingCopiesTheShippedImageAndWithdrawingRemovesIt) {
    GatewayDirs dirs;
    CGatewayFileUtils utils;
    dirs.WriteFirmware("tarvik_prom.bin", "CPOD_PROM_R3.0");
    const std::string shipped = dirs.software.Read("tarvik_prom.bin");
    for (const char* before : {"", "stale"}) {  // staging replaces an older staged image
        if (*before)
            dirs.software.Write("tarvik_prom.load", before);
        EXPECT_TRUE(utils.RenameGatewayFile("tarvik_prom.bin", "tarvik_prom.load", false));
        EXPECT_EQ(dirs.software.Read("tarvik_prom.load"), shipped);
        EXPECT_EQ(dirs.software.Read("tarvik_prom.bin"), shipped);
        EXPECT_FALSE(dirs.software.Exists("tarvik_prom.load.partial"));
    }
    for (int i = 0; i < 2; ++i) {  // withdrawing what is absent succeeds
        EXPECT_TRUE(utils.RenameGatewayFile("tarvik_prom.bin", "tarvik_prom.load", true));
        EXPECT_FALSE(dirs.software.Exists("tarvik_prom.load"));
    }
    EXPECT_FALSE(utils.RenameGatewayFile("tarvik_lc.bin", "tarvik_lc.load", false) ||
                 utils.RenameGatewayFile("", "", false));
}

TEST(EnvironmentTest, CustomCpldNameIsOneLineAndEmptyRemovesIt) {
    GatewayDirs dirs;
    CGatewayFileUtils utils;
    EXPECT_STREQ(utils.GetCustomTarvikCPLDFileName(), "");
    utils.SetCustomTarvikCPLDFileName("custom_r7.jed");
    EXPECT_STREQ(utils.GetCustomTarvikCPLDFileName(), "custom_r7.jed");
    EXPECT_EQ(dirs.software.Lines("custom_cpld.txt"), std::vector<std::string>{"custom_r7.jed"});
    EXPECT_STREQ(CGatewayFileUtils().GetCustomTarvikCPLDFileName(), "custom_r7.jed");
    utils.SetCustomTarvikCPLDFileName("");
    EXPECT_FALSE(dirs.software.Exists("custom_cpld.txt"));
    EXPECT_STREQ(utils.GetCustomTarvikCPLDFileName(), "");
}

TEST(EnvironmentTest, SinksReceiveLinesAndTheDefaultAppendsToTheLog) {
    GatewayDirs dirs;
    {
        zrtest::CapturedLog log;
        EXPECT_EQ(MonPrintfEx("RT_COMMS_I", "value %d of %s", 3, "%s"), 13);
        LogError("file.cpp", 42);
        EXPECT_EQ(
            log.Lines(),
            (std::vector<std::pair<std::string, std::string>>{{"RT_COMMS_I", "value 3 of %s"}}));
        EXPECT_EQ(log.ErrorCount(), 1u);
    }
    MonPrintfEx("RT_COMMS_E", "to the file");
    LogError("here.cpp", 7);
    const std::vector<std::string> lines = dirs.logs.Lines("gateway_monitor.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[RT_COMMS_E] to the file"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("here.cpp(7)"), std::string::npos) << lines[1];

    // Writers at once (as gwtool's child processes are) each add every line.
    // Wine's append-only writes are not atomic across handles and lose lines.
    if (zrtest::UnderWine())
        GTEST_SKIP();
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([] {
            for (int i = 0; i < 100; ++i)
                WriteMonitorLog("RT_COMMS_I", "from a writer");
        });
    }
    for (std::thread& t : writers)
        t.join();
    EXPECT_EQ(dirs.logs.Lines("gateway_monitor.log").size(), 402u);
}

}  // namespace
