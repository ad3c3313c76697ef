// The release comparison and the checks' decisions, driven through the value
// store and firmware files in a temporary software directory.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/testenv.h"
#include "zodaruruvizi/checks/gatewaychecks.h"
#include "zodaruruvizi/devices/tarvikutils.h"
#include "zodaruruvizi/devices/valuestore.h"

// Reaches the private checks.
class CGatewayChecksTestAccess : public CGatewayChecks {
public:
    CGatewayChecksTestAccess() : CGatewayChecks("ZEL") {}
    using CGatewayChecks::CompareGatewayReleaseID;
    using CGatewayChecks::FetchGatewayValue;
    using CGatewayChecks::IsManufacturingRelease;
    using CGatewayChecks::VerifyFWLevel;
    using CGatewayChecks::VerifyMinCPLDLevel;
    using CGatewayChecks::VerifyPOSTResults;
};

namespace {

using Checks = CGatewayChecksTestAccess;
const DIFFTYPE S = DT_SAME, N = DT_NEWER, O = DT_OLDER, F = DT_FORCED;

class CompareTest : public ::testing::Test {
protected:
    void SetUp() override { GetValueStore().clear(); }
    void TearDown() override { GetValueStore().clear(); }
    zrtest::GatewayDirs dirs;
};

TEST_F(CompareTest, ReleaseIdsCompareNumericallyFieldByField) {
    Checks checks;
    // device<file: the device's is older; = the same; > newer.
    std::istringstream rows(
        "R2.10>R2.9;R2.9<R2.10;R2.1=R2.1.0;R2.1<R2.1.1;R2.1.1>R2.1;ER3.4=R3.4;EER3.4=RR3.4;"
        "RE3<R3;R1..5=R1.5;R1...5>R1.4;R3a.1=R3.1;R3.1b=R3.1;R=R0;R.1=R0.1;R 7=R7;R-1<R0;"
        "R+2=R2;R2.=R2;R10.0.0.0.1>R10;R0010=R10;R2147483647>R2147483646;"
        // Fields beyond the 32-bit range saturate at its limits.
        "R99999999999999999999=R2147483647;R-99999999999999999999=R-2147483648;"
        "R99999999999999999999>R2147483646;=");
    const DIFFTYPE kinds[] = {O, S, N};
    for (std::string row; std::getline(rows, row, ';');) {
        const size_t op = row.find_first_of("<=>");
        EXPECT_EQ(checks.CompareGatewayReleaseID(row.substr(0, op).c_str(), row.c_str() + op + 1),
                  kinds[std::string("<=>").find(row[op])])
            << row;
    }
    EXPECT_TRUE(checks.IsManufacturingRelease("CPOD_LC_MFT_R1"));
    EXPECT_TRUE(checks.IsManufacturingRelease("MFT"));
    EXPECT_FALSE(checks.IsManufacturingRelease("CPOD_LC_mft_R1"));  // case-sensitive
    EXPECT_TRUE(checks.VerifyPOSTResults());
}

TEST_F(CompareTest, FirmwareLevelDecisions) {
    dirs.WriteFirmware("short.bin", "CPOD_LC_R2.10.3");
    dirs.WriteFirmware("long.bin", "LC BUILD 42");
    const struct {
        CODETYPE type;
        const char* file;    // "missing.bin" is absent
        const char* device;  // raw device value in the store; nullptr: no entry
        DIFFTYPE expected;
        bool vantor;
    } cases[] = {{CT_LC, "short.bin", "CPOD_LC_R2.10.3", S, false},
                 {CT_LC, "short.bin", "CPOD_LC_R2.9", O, false},
                 {CT_LC, "short.bin", "CPOD_X_R2.10.4", N, false},
                 {CT_LC, "short.bin", "CPOD_LC_ER2.10.3", S, false},
                 {CT_LC, "short.bin", "CPOD_LC_MFT_R9", F, false},  // manufacturing
                 {CT_LC, "long.bin", "MFT build", F, false},
                 {CT_LC, "missing.bin", "MFT build", S, false},
                 {CT_LC, "missing.bin", "CPOD_LC_R1.0", S, false},
                 {CT_LC, "long.bin", "CPOD_LC_R1", O, false},     // file not short, texts differ
                 {CT_PROM, "long.bin", "lc build 42", S, false},  // equal ignoring case
                 {CT_LC, "short.bin", "LC 2.10.3", O, false},     // no short form
                 {CT_LC, "long.bin", "lc BUILD 42", S, false},
                 {CT_LC, "short.bin", "Unknown", S, false},
                 {CT_LC, "short.bin", nullptr, S, false},
                 {CT_LC, "short.bin", "NOTCONNECTED", S, false},
                 {CT_LC, "short.bin", "X DB 1.2", O, true},  // vantor
                 {CT_LC, "short.bin", " DB 1.2", O, false},  // not at the start
                 {CT_MAC, "short.bin", "CABLE DB 7", S, true},
                 {CT_R318, "short.bin", "R318 v1", S, false},
                 {CT_MAC, "short.bin", "CPOD_TSN_R2.4", O, false}};
    CTarvikUtils keys(nullptr);
    for (const auto& c : cases) {
        GetValueStore().clear();
        Checks checks;
        if (c.device)
            GetValueStore()[std::string(keys.GetUntrimmedReleaseKey(c.type))] = c.device;
        EXPECT_EQ(checks.VerifyFWLevel(c.file, c.type), c.expected) << c.device;
        EXPECT_EQ(checks.IsVantorInstalled(), c.vantor) << c.device;
        EXPECT_STREQ(checks.GetVantorVersion(), c.vantor ? c.device : "") << c.device;
    }
}

TEST_F(CompareTest, CustomCpldTable) {
    const struct {
        const char* pcName;
        const char* device;  // untrimmed CPLD value; nullptr: no entry
        DIFFTYPE expected;
    } cases[] = {{"", "R3", O},
                 {"", "STANDARD CORVEL CPLD", S},
                 {"custom.jed", "R3", S},
                 {"custom.jed", "STANDARD CORVEL CPLD", O},
                 {"", "standard corvel cpld", O},
                 {"", "Unknown", S},
                 {"", "NotConnected", S},
                 {"", nullptr, S},
                 {"custom.jed", nullptr, O}};  // another letter case counts as custom
    for (const auto& c : cases) {
        GetValueStore().clear();
        Checks checks;
        checks.SetCustomCPLDFileName(c.pcName);
        if (c.device)
            GetValueStore()["Tarvik_CPLD_Release_Untrimmed"] = c.device;
        EXPECT_EQ(checks.VerifyMinCPLDLevel(), c.expected) << c.pcName << "/" << !!c.device;
    }
}

TEST_F(CompareTest, FetchAddsAMissingKeyThatTheDumpThenLists) {
    Checks checks;
    CString value;
    EXPECT_TRUE(checks.FetchGatewayValue("Some_Key", value));
    EXPECT_STREQ(value, "Unknown");
    GetValueStore()["Padded"] = "  R1  ";
    EXPECT_TRUE(checks.FetchGatewayValue("Padded", value));
    EXPECT_STREQ(value, "R1");
    char dump[256];
    checks.ReadStoredValues(dump, sizeof dump);
    EXPECT_STREQ(dump, "[T: Padded] - [V:   R1  ]\n[T: Some_Key] - [V: ]\n");
}

TEST_F(CompareTest, LaterChecksStopAtTheFirstDifference) {
    for (const char* name : {"tarvik_lc.bin", "tarvik_prom.bin", "tarvik_bootstrap.bin"})
        dirs.WriteFirmware(name, "CPOD_X_R2.0");
    dirs.WriteFirmware("tessan_cable.hex", "CPOD_TSN_R2.4");
    auto& store = GetValueStore();
    const struct {
        const char *bootstrap, *prom, *lc, *expected;
        bool cableChecked;
    } cases[] = {{"CPOD_X_R2.0", "CPOD_X_R2.0", "CPOD_X_R2.0",
                  "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same, R318:Same,", true},
                 {"CPOD_X_R1.0", "CPOD_X_R2.0", "CPOD_X_R2.0",
                  "LC:Same, PROM:Same, BS:Older, CPLD:Same, MAC:Same, R318:Same,", false},
                 {"CPOD_X_R2.0", "CPOD_X_R3.0", "MFT",
                  "LC:Forced, PROM:Newer, BS:Same, CPLD:Same, MAC:Same, R318:Same,", false}};
    for (const auto& c : cases) {
        store.clear();
        store["Tarvik_Bootstrap_Release_Untrimmed"] = c.bootstrap;
        store["Tarvik_PROM_Release_Untrimmed"] = c.prom;
        store["Tarvik_Release_Untrimmed"] = c.lc;
        store["Tarvik_MAC_Firmware_Release_Untrimmed"] = "TSN DB 9";  // " DB": checked
        store["Tarvik_CPLD_Release_Untrimmed"] = "R4";                // custom on the device only
        Checks checks;
        EXPECT_STREQ(checks.PerformAllChecks().ToString(), c.expected);
        EXPECT_EQ(checks.IsVantorInstalled(), c.cableChecked) << c.expected;
    }
}

}  // namespace
