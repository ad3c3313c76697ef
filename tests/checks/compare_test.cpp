// The release comparison and the checks' decisions, driven through the value
// store and firmware files in a temporary software directory.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/testenv.h"
#include "zodaruruvizi/checks/gatewaychecks.h"
#include "zodaruruvizi/devices/valuestore.h"

class CGatewayChecksTestAccess {
public:
    explicit CGatewayChecksTestAccess(CGatewayChecks& checks) : c_(checks) {}
    DIFFTYPE Compare(const char* device, const char* file) {
        return c_.CompareGatewayReleaseID(device, file);
    }
    DIFFTYPE VerifyFWLevel(const char* fileName, CODETYPE type) {
        return c_.VerifyFWLevel(fileName, type);
    }
    DIFFTYPE Cpld() { return c_.VerifyMinCPLDLevel(); }
    bool Fetch(const char* key, CString& value) { return c_.FetchGatewayValue(key, value); }
    bool IsManufacturing(const char* text) { return c_.IsManufacturingRelease(text); }
    bool Post() { return c_.VerifyPOSTResults(); }

private:
    CGatewayChecks& c_;
};

namespace {

using zrtest::GatewayDirs;

const char* Name(DIFFTYPE d) {
    switch (d) {
        case DT_SAME:
            return "Same";
        case DT_NEWER:
            return "Newer";
        case DT_OLDER:
            return "Older";
        case DT_FORCED:
            return "Forced";
    }
    return "?";
}

class CompareTest : public ::testing::Test {
protected:
    void SetUp() override { GetValueStore().clear(); }
    void TearDown() override { GetValueStore().clear(); }
};

TEST_F(CompareTest, ReleaseIdsCompareNumericallyFieldByField) {
    CGatewayChecks checks("ZEL");
    CGatewayChecksTestAccess access(checks);
    const struct {
        const char* device;
        const char* file;
        DIFFTYPE expected;
    } cases[] = {
        {"R2.10", "R2.9", DT_NEWER},
        {"R2.9", "R2.10", DT_OLDER},
        {"R2.1", "R2.1.0", DT_SAME},
        {"R2.1", "R2.1.1", DT_OLDER},
        {"R2.1.1", "R2.1", DT_NEWER},
        {"ER3.4", "R3.4", DT_SAME},
        {"EER3.4", "RR3.4", DT_SAME},
        {"RE3", "R3", DT_OLDER},
        {"R1..5", "R1.5", DT_SAME},
        {"R1...5", "R1.4", DT_NEWER},
        {"R3a.1", "R3.1", DT_SAME},
        {"R3.1b", "R3.1", DT_SAME},
        {"R", "R0", DT_SAME},
        {"R.1", "R0.1", DT_SAME},
        {"R 7", "R7", DT_SAME},
        {"R-1", "R0", DT_OLDER},
        {"R+2", "R2", DT_SAME},
        {"R2.", "R2", DT_SAME},
        {"R10.0.0.0.1", "R10", DT_NEWER},
        {"R0010", "R10", DT_SAME},
        {"R2147483647", "R2147483646", DT_NEWER},
        // Fields beyond the 32-bit range saturate at its limits.
        {"R99999999999999999999", "R2147483647", DT_SAME},
        {"R-99999999999999999999", "R-2147483648", DT_SAME},
        {"R99999999999999999999", "R2147483646", DT_NEWER},
        {"", "", DT_SAME},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(Name(access.Compare(c.device, c.file)), Name(c.expected))
            << c.device << " vs " << c.file;
    }
}

TEST_F(CompareTest, ManufacturingMarkerIsCaseSensitive) {
    CGatewayChecks checks("ZEL");
    CGatewayChecksTestAccess access(checks);
    EXPECT_TRUE(access.IsManufacturing("CPOD_LC_MFT_R1"));
    EXPECT_TRUE(access.IsManufacturing("MFT"));
    EXPECT_FALSE(access.IsManufacturing("CPOD_LC_mft_R1"));
    EXPECT_TRUE(access.Post());
}

TEST_F(CompareTest, FirmwareLevelDecisions) {
    GatewayDirs dirs;
    dirs.WriteFirmware("short.bin", "CPOD_LC_R2.10.3");
    dirs.WriteFirmware("long.bin", "LC BUILD 42");
    const struct {
        const char* name;
        CODETYPE type;
        const char* file;    // firmware file name; "missing.bin" is absent
        const char* device;  // raw device value in the store; nullptr: no entry
        DIFFTYPE expected;
        bool vantor;
    } cases[] = {
        {"equal", CT_LC, "short.bin", "CPOD_LC_R2.10.3", DT_SAME, false},
        {"device older", CT_LC, "short.bin", "CPOD_LC_R2.9", DT_OLDER, false},
        {"device newer", CT_LC, "short.bin", "CPOD_X_R2.10.4", DT_NEWER, false},
        {"device ER form", CT_LC, "short.bin", "CPOD_LC_ER2.10.3", DT_SAME, false},
        {"manufacturing", CT_LC, "short.bin", "CPOD_LC_MFT_R9", DT_FORCED, false},
        {"manufacturing, file not short", CT_LC, "long.bin", "MFT build", DT_FORCED, false},
        {"manufacturing, file unreadable", CT_LC, "missing.bin", "MFT build", DT_SAME, false},
        {"file not short, texts differ", CT_LC, "long.bin", "CPOD_LC_R1", DT_OLDER, false},
        {"file not short, equal ignoring case", CT_PROM, "long.bin", "lc build 42", DT_SAME, false},
        {"no short form, differs", CT_LC, "short.bin", "LC 2.10.3", DT_OLDER, false},
        {"no short form, equal ignoring case", CT_LC, "long.bin", "lc BUILD 42", DT_SAME, false},
        {"unknown", CT_LC, "short.bin", "Unknown", DT_SAME, false},
        {"no entry reads as unknown", CT_LC, "short.bin", nullptr, DT_SAME, false},
        {"not connected any case", CT_LC, "short.bin", "NOTCONNECTED", DT_SAME, false},
        {"vantor", CT_LC, "short.bin", "X DB 1.2", DT_OLDER, true},
        {"vantor at the start does not count", CT_LC, "short.bin", " DB 1.2", DT_OLDER, false},
        {"vantor on a cable", CT_MAC, "short.bin", "CABLE DB 7", DT_SAME, true},
        {"cable without short form", CT_R318, "short.bin", "R318 v1", DT_SAME, false},
        {"cable short form compares", CT_MAC, "short.bin", "CPOD_TSN_R2.4", DT_OLDER, false},
    };
    for (const auto& c : cases) {
        GetValueStore().clear();
        CGatewayChecks checks("ZEL");
        CGatewayChecksTestAccess access(checks);
        CString key;
        const char* keys[] = {"Tarvik_Release_Untrimmed",
                              "Tarvik_PROM_Release_Untrimmed",
                              "Tarvik_Bootstrap_Release_Untrimmed",
                              "Tarvik_CPLD_Release_Untrimmed",
                              "Tarvik_MAC_Firmware_Release_Untrimmed",
                              "Tarvik_R318_Firmware_Release_Untrimmed"};
        if (c.device)
            GetValueStore()[keys[c.type]] = c.device;
        EXPECT_STREQ(Name(access.VerifyFWLevel(c.file, c.type)), Name(c.expected)) << c.name;
        EXPECT_EQ(checks.IsVantorInstalled(), c.vantor) << c.name;
        EXPECT_STREQ(checks.GetVantorVersion(), c.vantor ? c.device : "") << c.name;
    }
}

TEST_F(CompareTest, CustomCpldTable) {
    GatewayDirs dirs;
    const struct {
        const char* pcName;
        const char* device;  // untrimmed CPLD value; nullptr: no entry
        DIFFTYPE expected;
    } cases[] = {
        {"", "R3", DT_OLDER},
        {"", "STANDARD CORVEL CPLD", DT_SAME},
        {"custom.jed", "R3", DT_SAME},
        {"custom.jed", "STANDARD CORVEL CPLD", DT_OLDER},
        {"", "standard corvel cpld", DT_OLDER},  // other letter case counts as custom
        {"", "Unknown", DT_SAME},
        {"", "NotConnected", DT_SAME},
        {"", nullptr, DT_SAME},
        {"custom.jed", nullptr, DT_OLDER},
    };
    for (const auto& c : cases) {
        GetValueStore().clear();
        CGatewayChecks checks("ZEL");
        checks.SetCustomCPLDFileName(c.pcName);
        if (c.device)
            GetValueStore()["Tarvik_CPLD_Release_Untrimmed"] = c.device;
        CGatewayChecksTestAccess access(checks);
        EXPECT_STREQ(Name(access.Cpld()), Name(c.expected))
            << "'" << c.pcName << "' / " << (c.device ? c.device : "(none)");
    }
}

TEST_F(CompareTest, FetchAddsAMissingKeyThatTheDumpThenLists) {
    CGatewayChecks checks("ZEL");
    CGatewayChecksTestAccess access(checks);
    CString value;
    EXPECT_TRUE(access.Fetch("Some_Key", value));
    EXPECT_STREQ(value, "Unknown");
    GetValueStore()["Padded"] = "  R1  ";
    EXPECT_TRUE(access.Fetch("Padded", value));
    EXPECT_STREQ(value, "R1");
    char dump[256];
    checks.ReadStoredValues(dump, sizeof dump);
    EXPECT_STREQ(dump, "[T: Padded] - [V:   R1  ]\n[T: Some_Key] - [V: ]\n");
}

TEST_F(CompareTest, LaterChecksStopAtTheFirstDifference) {
    GatewayDirs dirs;
    for (const char* name : {"tarvik_lc.bin", "tarvik_prom.bin", "tarvik_bootstrap.bin"}) {
        dirs.WriteFirmware(name, "CPOD_X_R2.0");
    }
    dirs.WriteFirmware("tessan_cable.hex", "CPOD_TSN_R2.4");
    auto& store = GetValueStore();
    const struct {
        const char* name;
        const char* bootstrap;
        const char* prom;
        const char* lc;
        const char* expected;
        bool cableChecked;
    } cases[] = {
        {"all same", "CPOD_X_R2.0", "CPOD_X_R2.0", "CPOD_X_R2.0",
         "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,", true},
        {"bootstrap older", "CPOD_X_R1.0", "CPOD_X_R2.0", "CPOD_X_R2.0",
         "LC:Same, PROM:Same, BS:Older, CPLD:Same, MAC:Same, R318:Same,", false},
        {"prom newer, lc forced", "CPOD_X_R2.0", "CPOD_X_R3.0", "MFT",
         "LC:Forced, PROM:Newer, BS:Same, CPLD:Same, MAC:Same, R318:Same,", false},
    };
    for (const auto& c : cases) {
        store.clear();
        store["Tarvik_Bootstrap_Release_Untrimmed"] = c.bootstrap;
        store["Tarvik_PROM_Release_Untrimmed"] = c.prom;
        store["Tarvik_Release_Untrimmed"] = c.lc;
        // A " DB" cable text marks whether the cable check ran.
        store["Tarvik_MAC_Firmware_Release_Untrimmed"] = "TSN DB 9";
        store["Tarvik_CPLD_Release_Untrimmed"] = "R4";  // custom on the device only
        CGatewayChecks checks("ZEL");
        CCodeDiffResults results = checks.PerformAllChecks();
        if (c.cableChecked) {
            EXPECT_STREQ(results.ToString(),
                         "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same, R318:Same,");
        } else {
            EXPECT_STREQ(results.ToString(), c.expected) << c.name;
        }
        EXPECT_EQ(checks.IsVantorInstalled(), c.cableChecked) << c.name;
    }
}

}  // namespace
