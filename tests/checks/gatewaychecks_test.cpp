// The checker end to end: simulated devices of both TCP families side by side
// on their own loopback addresses, firmware files in a temporary software
// directory, and the update worker.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/testenv.h"
#include "tools/gwsim/simulator.h"
#include "zodaruruvizi/devices/valuestore.h"
#include "zodaruruvizi/zodaruruvizi.h"

namespace {

using gwsim::DeviceState;
using gwsim::Family;
using std::chrono::seconds;
const char* const kAllSame = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,";

class GatewayChecksTest : public ::testing::Test {
protected:
    void SetUp() override { GetValueStore().clear(); }
    void TearDown() override {
        EXPECT_TRUE(WaitForWorkerThreads(30000)) << "an update worker outlived its test";
        GetValueStore().clear();
    }
    // A simulated device with the given state, and a checker of `family` on it.
    std::unique_ptr<gwsim::Simulator> Start(const DeviceState& state, CGatewayChecks& checks) {
        gwsim::Options options;
        options.software_dir = dirs.software.path();
        std::string error;
        auto sim = zrtest::StartSimulator(state, options, &error);
        EXPECT_TRUE(sim) << error;
        if (sim)
            checks.SetAddress(inet_addr(sim->address().c_str()));
        return sim;
    }
    // Firmware on the PC for every ZEL component at the given releases.
    void ZelFirmware(const char* lc, const char* prom = "CPOD_PROM_R1.4.0",
                     const char* boot = "CPOD_BOOT_R1.0.2", const char* cable = "CPOD_TSN_R2.4") {
        dirs.WriteFirmware("tarvik_lc.bin", lc);
        dirs.WriteFirmware("tarvik_prom.bin", prom);
        dirs.WriteFirmware("tarvik_bootstrap.bin", boot);
        dirs.WriteFirmware("tessan_cable.hex", cable);
        dirs.WriteFirmware("tarvik_mac.bin", cable);
    }
    zrtest::GatewayDirs dirs;
};

TEST_F(GatewayChecksTest, FamilyNamesSelectTheDeviceUtilities) {
    const struct {
        const char* family;
        bool tcp;
    } cases[] = {{"ZEL", true},        {"ZEL-2000 bench", true}, {"MIR", true},
                 {"Tarvik II", false}, {"zel", false},           {"MIR ", false},
                 {"ZE", false},        {"Tarvik II ", false},    {"", false}};
    for (const auto& c : cases) {
        CGatewayChecks checks(c.family);
        checks.SetAddress(0x0100007F);
        EXPECT_EQ(checks.GetAddress(), c.tcp ? 0x0100007Fu : 0u) << c.family;
        EXPECT_EQ(checks.SetReleaseIds(false, false), std::string(c.family) == "Tarvik II");
    }
    EXPECT_EQ(CGatewayChecks(nullptr).GetAddress(), 0u);

    // The file operations ignore their first argument.
    CGatewayChecks zel("ZEL");
    dirs.WriteFirmware("tarvik_prom.load", "x");
    for (const char* ignored : {"", "tarvik_lc.bin", "*"}) {
        EXPECT_STREQ(zel.GetFilename(ignored, CT_PROM, false), "tarvik_prom.load");
        EXPECT_STREQ(zel.GetFilename(ignored, CT_PROM, true), "tarvik_prom.bin");
        EXPECT_TRUE(zel.DeviceFileExists(ignored, CT_PROM));
        EXPECT_FALSE(zel.DeviceFileExists(ignored, CT_LC));
    }

    // The second generation is always "Same" and leaves other values alone.
    CGatewayChecks ii("Tarvik II");
    GetValueStore()["Tarvik_Release"] = "R1";
    EXPECT_STREQ(ii.CheckForUpdates(true).ToString(), kAllSame);
    CString value;
    ii.ReadStoredValue("Tarvik_Release", value);
    EXPECT_STREQ(value, "R1");
    CCodeDiffResults older;
    older.m_PROM = DT_OLDER;
    ii.PerformUpdate(older);
    EXPECT_TRUE(WaitForWorkerThreads(5000));
}

TEST_F(GatewayChecksTest, WithoutDeviceUtilitiesEverythingIsNeutral) {
    CGatewayChecks checks("Unknown family");
    EXPECT_STREQ(checks.CheckForUpdates(true).ToString(), kAllSame);
    EXPECT_FALSE(checks.SetReleaseIds(true, false));
    EXPECT_EQ(checks.GetAddress(), 0u);
    CString value("x");
    checks.ReadStoredValue("Tarvik_Release", value);
    EXPECT_STREQ(value, "Unknown");
    EXPECT_TRUE(checks.GetFilename("anything", CT_LC, true).IsEmpty() &&
                !checks.DeviceFileExists("anything", CT_LC));
    EXPECT_STREQ(checks.GetCustomCPLDFileName(), "");
    checks.SetCustomCPLDFileName("ignored.jed");
    EXPECT_FALSE(dirs.software.Exists("custom_cpld.txt") || checks.DeviceHasCustomCPLD());
    char buffer[8] = "keep";
    GetValueStore()["K"] = "V";
    checks.ReadStoredValues(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "keep");
    CCodeDiffResults older;
    older.m_LC = DT_OLDER;
    checks.PerformUpdate(older);
    EXPECT_EQ(GetRunningWorkerThreadCount(), 0);
    checks.UpdateActiveCableFirmware(CT_MAC);
    checks.RenameFile(CT_LC, "", false);
    EXPECT_TRUE(!checks.IsVantorInstalled() && checks.GetVantorVersion().IsEmpty());
}

TEST_F(GatewayChecksTest, ChecksAgainstFirmwareFilesOfEveryKind) {
    // The values and files reach the comparison (its rules: compare_test).
    const struct {
        const char *deviceLc, *pcLc;  // pcLc nullptr: the LC file has no marker
        const char* expected;
    } cases[] = {{"CPOD_LC_R2.10.3", "CPOD_LC_R2.11",
                  "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,"},
                 {"CPOD_LC_R1.0", nullptr, kAllSame}};
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::ZEL);
        state.lc_release = c.deviceLc;
        CGatewayChecks checks("ZEL");
        auto sim = Start(state, checks);
        ASSERT_TRUE(sim);
        ZelFirmware(c.pcLc ? c.pcLc : "x");
        if (!c.pcLc)
            dirs.software.Write("tarvik_lc.bin", "no marker here");
        EXPECT_STREQ(checks.CheckForUpdates(true).ToString(), c.expected) << c.deviceLc;
    }

    // An unreachable device proposes nothing.
    zrtest::AddressHole hole;
    ZelFirmware("CPOD_LC_R9", "CPOD_PROM_R9", "CPOD_BOOT_R9", "CPOD_TSN_R9");
    CGatewayChecks checks("ZEL");
    checks.SetAddress(inet_addr(hole.address().c_str()));
    EXPECT_STREQ(checks.CheckForUpdates(true).ToString(), kAllSame);
    CString value;
    checks.ReadStoredValue("Tarvik_Release", value);
    EXPECT_STREQ(value, "NotConnected");
}

TEST_F(GatewayChecksTest, UpdatePriorityPicksTheFirstDifferingComponent) {
    CGatewayChecks fresh("ZEL");
    auto sim = Start(DeviceState::Default(Family::ZEL), fresh);
    ASSERT_TRUE(sim);
    // All "Same" on a fresh checker starts nothing.
    fresh.PerformUpdate(CCodeDiffResults());
    EXPECT_EQ(GetRunningWorkerThreadCount(), 0);
    EXPECT_TRUE(WaitForWorkerThreads(1000));
    EXPECT_EQ(sim->ConnectionCount(), 0u);

    ZelFirmware("CPOD_LC_R3", "CPOD_PROM_R3", "CPOD_BOOT_R3", "CPOD_TSN_R3");
    dirs.WriteFirmware("tarvik_cpld.bin", "STANDARD");
    dirs.WriteFirmware("tarvik_r318.bin", "CPOD_R318_R3");
    using Field = DIFFTYPE CCodeDiffResults::*;
    const struct {
        Field field1;
        DIFFTYPE value1;
        Field field2;        // set to Older too
        const char* staged;  // the component file staged besides the LC's
    } cases[] = {
        {&CCodeDiffResults::m_PROM, DT_OLDER, &CCodeDiffResults::m_LC, "tarvik_prom.load"},
        {&CCodeDiffResults::m_BS, DT_NEWER, &CCodeDiffResults::m_PROM, "tarvik_bootstrap.load"},
        {&CCodeDiffResults::m_LC, DT_FORCED, &CCodeDiffResults::m_CPLD, nullptr},
        {&CCodeDiffResults::m_CPLD, DT_OLDER, &CCodeDiffResults::m_MAC, "tarvik_cpld.load"},
        {&CCodeDiffResults::m_MAC, DT_NEWER, &CCodeDiffResults::m_R318, "tarvik_mac.load"},
        {&CCodeDiffResults::m_R318, static_cast<DIFFTYPE>(7), nullptr, "tarvik_r318.load"}};
    CGatewayChecks checks("ZEL");
    checks.SetAddress(inet_addr(sim->address().c_str()));
    size_t resets = 0;
    for (const auto& c : cases) {
        CCodeDiffResults results;
        results.*c.field1 = c.value1;
        if (c.field2)
            results.*c.field2 = DT_OLDER;
        // Keep the device from consuming the staged images so they can be seen.
        gwsim::Fault keep;
        keep.request_kind = 0x02;
        keep.times = 1;
        sim->AddFault(keep);
        checks.PerformUpdate(results);
        ASSERT_TRUE(WaitForWorkerThreads(20000)) << c.staged;
        ASSERT_TRUE(sim->WaitForRequests(2 * ++resets, seconds(5))) << c.staged;
        EXPECT_TRUE(dirs.software.Exists("tarvik_lc.load")) << c.staged;
        for (const char* staged : {"tarvik_prom.load", "tarvik_bootstrap.load", "tarvik_cpld.load",
                                   "tarvik_mac.load", "tarvik_r318.load"}) {
            EXPECT_EQ(dirs.software.Exists(staged), c.staged && std::string(staged) == c.staged)
                << c.staged << ": " << staged;
            std::remove(dirs.software.File(staged).c_str());
        }
        std::remove(dirs.software.File("tarvik_lc.load").c_str());
    }
    // All "Same" repeats the last chosen component (here the R318 cable).
    sim->ClearFaults();
    checks.PerformUpdate(CCodeDiffResults());
    ASSERT_TRUE(WaitForWorkerThreads(20000));
    ASSERT_TRUE(sim->WaitForResets(1, seconds(5)));
    EXPECT_EQ(sim->RequestCount(), 2 * resets + 2);
}

TEST_F(GatewayChecksTest, FullUpdateStoryOfBothFamiliesSideBySide) {
    DeviceState zelState = DeviceState::Default(Family::ZEL);
    zelState.prom_release = "CPOD_PROM_R1.4.0";
    DeviceState mirState = DeviceState::Default(Family::MIR);
    mirState.lc_release = "MIR Release 3.4";
    mirState.prom_release = "MIR Release 1.2";
    CGatewayChecks zelChecks("ZEL"), mirChecks("MIR");
    auto zel = Start(zelState, zelChecks);
    auto mir = Start(mirState, mirChecks);
    ASSERT_TRUE(zel && mir);
    ZelFirmware("CPOD_LC_R2.10.3", "CPOD_PROM_R1.5.0");
    dirs.WriteFirmware("sollum_lc.bin", "MIR Release 3.5");
    dirs.WriteFirmware("sollum_prom.bin", "MIR Release 1.3");

    CCodeDiffResults zelResults = zelChecks.CheckForUpdates(true);
    EXPECT_STREQ(zelResults.ToString(),
                 "LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,");
    CCodeDiffResults mirResults = mirChecks.CheckForUpdates(true);
    EXPECT_STREQ(mirResults.ToString(),
                 "LC:Older, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,");
    zelChecks.PerformUpdate(zelResults);
    mirChecks.PerformUpdate(mirResults);  // PROM first
    ASSERT_TRUE(WaitForWorkerThreads(30000));
    ASSERT_TRUE(zel->WaitForResets(1, seconds(5)));
    EXPECT_EQ(zel->Requests().back().code, 0x80000000u);
    EXPECT_FALSE(dirs.software.Exists("tarvik_prom.load")) << "consumed by the reset";
    EXPECT_EQ(mir->State().prom_release, "MIR Release 1.3");

    EXPECT_STREQ(zelChecks.CheckForUpdates(true).ToString(), kAllSame);
    mirResults = mirChecks.CheckForUpdates(true);
    EXPECT_STREQ(mirResults.ToString(),
                 "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,");
    mirChecks.PerformUpdate(mirResults);
    ASSERT_TRUE(WaitForWorkerThreads(30000));
    ASSERT_TRUE(mir->WaitForResets(1, seconds(5)));
    EXPECT_STREQ(mirChecks.CheckForUpdates(true).ToString(), kAllSame);
    CString serial;
    mirChecks.ReadStoredValue("Sollum_SerialNum", serial);
    EXPECT_STREQ(serial, "MIR0004711");
    zelChecks.ReadStoredValue("Tarvik_SerialNum", serial);
    EXPECT_STREQ(serial, "ZEL0012345");
}

TEST_F(GatewayChecksTest, CableAndCpldAreCheckedOnlyWhileAllElseIsSame) {
    DeviceState state = DeviceState::Default(Family::ZEL);
    state.cable_version = "CPOD_TSN_R2.3";
    state.cpld_custom = true;
    state.cpld_revision = 5;
    CGatewayChecks checks("ZEL");
    auto sim = Start(state, checks);
    ASSERT_TRUE(sim);
    ZelFirmware("CPOD_LC_R2.10.3");
    EXPECT_STREQ(checks.CheckForUpdates(true).ToString(),
                 "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Older, R318:Same,");
    EXPECT_TRUE(checks.DeviceHasCustomCPLD());
    dirs.WriteFirmware("tessan_cable.hex", "CPOD_TSN_R2.3");
    EXPECT_STREQ(checks.CheckForUpdates(false).ToString(),
                 "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same, R318:Same,")
        << "custom CPLD on the device, none on the PC";
    checks.SetCustomCPLDFileName("custom.jed");
    EXPECT_STREQ(checks.GetCustomCPLDFileName(), "custom.jed");
    EXPECT_STREQ(checks.CheckForUpdates(false).ToString(), kAllSame);
}

}  // namespace
