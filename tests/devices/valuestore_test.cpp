// The value store, the names and keys of each code type, and what the device
// utilities decide without talking to a device.
#include <gtest/gtest.h>

#include <string.h>

#include <sstream>
#include <string>

#include "hostapi/environment.h"
#include "tests/support/testenv.h"
#include "zodaruruvizi/devices/sollumutils.h"
#include "zodaruruvizi/devices/tarvikiiutils.h"
#include "zodaruruvizi/devices/tarvikutils.h"

namespace {

class ValueStoreTest : public ::testing::Test {
protected:
    void SetUp() override { GetValueStore().clear(); }
    void TearDown() override { GetValueStore().clear(); }
    zrtest::GatewayDirs dirs;
    zrtest::CapturedLog log;
    CTarvikUtils utils{nullptr};  // no transport: nothing here talks to a device
    CSollumUtils sollum{nullptr};
};

TEST_F(ValueStoreTest, SetStoredValueTrimsAndNeverStoresBlank) {
    const struct {
        const char* value;
        bool trim, result;
        const char* stored;
    } cases[] = {{"   ", false, false, "Unknown"},
                 {"", true, false, "Unknown"},
                 {"  CPOD_LC_R2.1  ", true, true, "R2.1"},
                 {"  CPOD_LC_R2.1  ", false, false, "CPOD_LC_R2.1"},
                 {" LC 7 ", true, false, "LC 7"},
                 {"CPOD_LC_ \t", true, false, "CPOD_LC_"}};
    for (const auto& c : cases) {
        EXPECT_EQ(utils.SetStoredValue("Key", c.value, c.trim), c.result) << c.value;
        EXPECT_EQ(GetValueStore()["Key"], c.stored) << "'" << c.value << "'";
    }
}

TEST_F(ValueStoreTest, ReadStoredValueNeverAddsAKey) {
    const struct {
        const char *key, *value, *read, *expected;  // key: nullptr adds nothing
    } cases[] = {{nullptr, nullptr, "Missing", "Unknown"},
                 {"Other", "1", "Missing", "Unknown"},
                 {"Blank", " \t ", "Blank", "Unknown"},
                 {"Padded", " v ", "Padded", "v"}};
    for (const auto& c : cases) {
        if (c.key)
            GetValueStore()[c.key] = c.value;
        const size_t size = GetValueStore().size();
        CString value("x");
        utils.ReadStoredValue(c.read, value);
        EXPECT_STREQ(value, c.expected) << c.read;
        EXPECT_EQ(GetValueStore().size(), size) << c.read;
    }
}

TEST_F(ValueStoreTest, DumpSkipsLinesThatDoNotFitWithTheirZero) {
    // "[T: A] - [V: 1]\n" is 16 bytes.
    const struct {
        std::vector<std::pair<std::string, std::string>> entries;
        int size;
        const char* expected;  // nullptr: buffer untouched
    } cases[] = {
        {{{"A", "1"}}, 17, "[T: A] - [V: 1]\n"},
        {{{"A", "1"}}, 16, nullptr},
        {{{"A", "long value"}, {"B", "2"}}, 20, "[T: B] - [V: 2]\n"},
        {{{"A", "1"}, {"B", "2"}}, 33, "[T: A] - [V: 1]\n[T: B] - [V: 2]\n"},
        {{{"A", "1"}, {"B", "22222"}, {"C", "3"}}, 35, "[T: A] - [V: 1]\n[T: C] - [V: 3]\n"},
        {{{"A", "1"}}, 0, nullptr},
        {{{"A", "1"}}, -4, nullptr},
        {{}, 64, nullptr}};
    for (const auto& c : cases) {
        GetValueStore().clear();
        for (const auto& e : c.entries)
            GetValueStore()[e.first] = e.second;
        char buffer[80];
        memset(buffer, '#', sizeof buffer);
        utils.ReadStoredValues(buffer, c.size);
        std::string expected = c.expected ? std::string(c.expected) + '\0' : "";
        expected += std::string(sizeof buffer - expected.size(), '#');
        EXPECT_EQ(std::string(buffer, sizeof buffer), expected) << c.size;
    }
}

TEST_F(ValueStoreTest, FileExistsSearchesTheSoftwareLocation) {
    dirs.software.Write("tarvik_lc.bin", "x");
    std::filesystem::create_directory(dirs.software.File("subdir"));
    for (const char* name : {"tarvik_lc.bin", "tarvik_*.bin", "tarvik_l?.bin", "subdir"})
        EXPECT_TRUE(utils.FileExists(name)) << name;
    EXPECT_FALSE(utils.FileExists("tarvik_lc.load") || utils.FileExists(""));
    {
        zrtest::ScopedEnv missing("GATEWAY_SOFTWARE_DIR", dirs.software.File("missing").c_str());
        EXPECT_FALSE(utils.FileExists("tarvik_lc.bin"));
    }
    EXPECT_EQ(utils.GetIPAddress(), 0u);
    utils.SetIPAddress(1);
    utils.CloseSocket();
    EXPECT_FALSE(utils.LCFileExists() || sollum.LCFileExists());
    dirs.WriteFirmware("tarvik_lc.load", "CPOD_LC_R1");
    dirs.WriteFirmware("sollum_lc.load", "x");
    EXPECT_TRUE(utils.LCFileExists() && sollum.LCFileExists());
}

// The one table of file names, cable prefixes, value-store keys and support
// per code type; an unsupported type is reported as an error.
TEST_F(ValueStoreTest, NamesKeysAndSupportPerCodeType) {
    CGatewayFileUtils files;
    const struct {
        int type;
        const char *shipped, *staged, *sollumShipped, *hex, *prefix, *key, *sollumKey;
    } cases[] = {{0, "tarvik_lc.bin", "tarvik_lc.load", "sollum_lc.bin", "", nullptr,
                  "Tarvik_Release", "Sollum_Release"},
                 {1, "tarvik_prom.bin", "tarvik_prom.load", "sollum_prom.bin", "", nullptr,
                  "Tarvik_PROM_Release", "Sollum_PROM_Release"},
                 {2, "tarvik_bootstrap.bin", "tarvik_bootstrap.load", "", "", nullptr,
                  "Tarvik_Bootstrap_Release", "Sollum_Release"},
                 {3, "tarvik_cpld.bin", "tarvik_cpld.load", "", "", nullptr, "Tarvik_CPLD_Release",
                  "Sollum_Release"},
                 {4, "tarvik_mac.bin", "tarvik_mac.load", "", "tessan_cable.hex", "TSN",
                  "Tarvik_MAC_Firmware_Release", "Sollum_Release"},
                 {5, "tarvik_r318.bin", "tarvik_r318.load", "", "r318_cable.hex", "R318",
                  "Tarvik_R318_Firmware_Release", "Sollum_Release"},
                 {6, "", "", "", "", nullptr, "", "Sollum_Release"},
                 {-1, "", "", "", "", nullptr, "", "Sollum_Release"}};
    for (const auto& c : cases) {
        const CODETYPE t = static_cast<CODETYPE>(c.type);
        const bool tarvikOk = *c.key, sollumOk = c.type == 0 || c.type == 1;
        log.Clear();
        EXPECT_STREQ(files.GetTarvikFileName(t, true), c.shipped);
        EXPECT_STREQ(files.GetTarvikFileName(t, false), c.staged);
        EXPECT_STREQ(files.GetSollumFileName(t, true), c.sollumShipped);
        EXPECT_STREQ(files.GetHexFilename(t), c.hex);
        CString prefix("untouched");
        EXPECT_EQ(files.GetActvCablePrefix(t, prefix), c.prefix ? 1 : 0);
        EXPECT_STREQ(prefix, c.prefix ? c.prefix : "untouched");
        EXPECT_EQ(log.ErrorCount(), 0u);

        EXPECT_EQ(utils.IsCodeTypeSupported(t), tarvikOk) << c.type;
        EXPECT_STREQ(utils.GetFilename(t, true), c.shipped);
        EXPECT_STREQ(utils.GetActiveCableFilename(t), c.hex);
        EXPECT_STREQ(utils.GetReleaseKey(t), c.key);
        EXPECT_EQ(std::string(utils.GetUntrimmedReleaseKey(t)),
                  tarvikOk ? std::string(c.key) + "_Untrimmed" : "");
        EXPECT_EQ(log.ErrorCount(), tarvikOk ? 0u : 4u) << c.type;

        log.Clear();
        EXPECT_EQ(sollum.IsCodeTypeSupported(t), sollumOk) << c.type;
        EXPECT_STREQ(sollum.GetFilename(t, true), c.sollumShipped);
        EXPECT_STREQ(sollum.GetReleaseKey(t), c.sollumKey);
        EXPECT_EQ(std::string(sollum.GetUntrimmedReleaseKey(t)),
                  std::string(c.sollumKey) + "_Untrimmed");
        EXPECT_STREQ(sollum.GetActiveCableFilename(t), "");
        EXPECT_EQ(log.ErrorCount(), sollumOk ? 0u : 3u) << c.type;
    }
    EXPECT_STREQ(sollum.GetFilename(CT_LC, false), "sollum_lc.load");
}

TEST_F(ValueStoreTest, DecisionsWithoutADevice) {
    // raw>short; a row without ">" is not trimmed.
    std::istringstream trims(
        "CPOD_ABC_R1.2.3>R1.2.3;CPOD_ABC_ER4.5>ER4.5;CPOD_ABC_X7;LC_R1;CPOD_R>R;"
        "x_CPOD__R9>R9;CPOD_A_R>R");
    for (std::string row; std::getline(trims, row, ';');) {
        const size_t gt = row.find('>');
        CString out;
        EXPECT_EQ(utils.TrimReleaseId(row.substr(0, gt).c_str(), out), gt != std::string::npos);
        EXPECT_STREQ(out, row.c_str() + (gt == std::string::npos ? 0 : gt + 1)) << row;
    }
    EXPECT_FALSE(utils.DeviceHasCustomCPLD());
    EXPECT_EQ(GetValueStore().count("Tarvik_CPLD_Release_Untrimmed"), 1u) << "the look-up adds it";
    const std::pair<const char*, bool> cplds[] = {
        {"R3", true},       {"STANDARD CORVEL CPLD", false}, {"Standard Corvel CPLD", true},
        {"Unknown", false}, {"NotConnected", false},         {"", false}};
    for (const auto& c : cplds) {
        GetValueStore()["Tarvik_CPLD_Release_Untrimmed"] = c.first;
        EXPECT_EQ(utils.DeviceHasCustomCPLD(), c.second) << c.first;
    }
    EXPECT_FALSE(sollum.DeviceHasCustomCPLD());
    EXPECT_STREQ(utils.GetCustomCPLDFileName(), "");
    utils.SetCustomCPLDFileName("my_cpld.jed");
    EXPECT_STREQ(utils.GetCustomCPLDFileName(), "my_cpld.jed");

    // Renaming: an unsupported type is reported and still attempted; the
    // measurement module touches no file for its PROM.
    EXPECT_FALSE(utils.RenameFile(static_cast<CODETYPE>(9), false));
    EXPECT_GE(log.ErrorCount(), 1u);
    log.Clear();
    dirs.WriteFirmware("tarvik_r318.bin", "CPOD_R318_R1.7");
    EXPECT_TRUE(utils.RenameFile(CT_R318, false));
    EXPECT_TRUE(dirs.software.Exists("tarvik_r318.load"));
    EXPECT_TRUE(utils.RenameFile(CT_R318, true));
    EXPECT_FALSE(dirs.software.Exists("tarvik_r318.load"));
    dirs.WriteFirmware("sollum_prom.bin", "x");
    EXPECT_TRUE(sollum.RenameFile(CT_PROM, false));
    EXPECT_FALSE(dirs.software.Exists("sollum_prom.load"));
    EXPECT_EQ(log.ErrorCount(), 0u);
    EXPECT_FALSE(sollum.UpdateActiveCable(CT_MAC));
    EXPECT_TRUE(sollum.UpdateBootstrap());
}

TEST_F(ValueStoreTest, SecondGenerationGivesFixedResultsAndLeavesTheStoreAlone) {
    GetValueStore()["Tarvik_Release"] = "R9";
    CTarvikIIUtils ii;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(ii.GetReleaseIds(i & 1, i & 2));
    EXPECT_EQ(GetValueStore().size(), 1u);
    CString value, version("kept"), shortForm("kept");
    ii.ReadStoredValue("Tarvik_Release", value);
    EXPECT_STREQ(value, "R9");
    ii.ReadStoredValue("Never_Written", value);
    EXPECT_STREQ(value, "Unknown");
    ii.SetIPAddress(0x0100007F);
    EXPECT_EQ(ii.GetIPAddress(), 0u);
    EXPECT_STREQ(ii.GetFilename(CT_LC, true), "");
    EXPECT_FALSE(ii.FileExists(ii.GetFilename(CT_LC, false)));
    EXPECT_TRUE(ii.IsCodeTypeSupported(CT_R318) && ii.IsCodeTypeSupported(CODETYPE(42)));
    EXPECT_TRUE(ii.GetVersionFromFile("any", version));
    EXPECT_STREQ(version, "kept");
    EXPECT_TRUE(ii.TrimReleaseId("CPOD_A_R1", shortForm));
    EXPECT_STREQ(shortForm, "kept");
    EXPECT_TRUE(ii.RenameFile(CT_LC, false) && ii.UpdateLC() && !ii.UpdateActiveCable(CT_MAC));
}

}  // namespace
