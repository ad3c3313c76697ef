// The value store and the other shared parts of the device utilities.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "tests/support/testenv.h"
#include "zodaruruvizi/devices/tarvikutils.h"

namespace {

class ValueStoreTest : public ::testing::Test {
protected:
    void SetUp() override { GetValueStore().clear(); }
    void TearDown() override { GetValueStore().clear(); }
    CTarvikUtils utils{nullptr};  // no transport: nothing here talks to a device
};

TEST_F(ValueStoreTest, SetStoredValueTrimsAndNeverStoresBlank) {
    const struct {
        const char* value;
        bool trim;
        bool result;
        const char* stored;
    } cases[] = {
        {"   ", false, false, "Unknown"},
        {"", true, false, "Unknown"},
        {"  CPOD_LC_R2.1  ", true, true, "R2.1"},
        {"  CPOD_LC_R2.1  ", false, false, "CPOD_LC_R2.1"},
        {" LC 7 ", true, false, "LC 7"},
        {"CPOD_LC_ \t", true, false, "CPOD_LC_"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utils.SetStoredValue("Key", c.value, c.trim), c.result) << c.value;
        EXPECT_EQ(GetValueStore()["Key"], c.stored) << "'" << c.value << "'";
    }
}

TEST_F(ValueStoreTest, ReadStoredValueNeverAddsAKey) {
    CString value("x");
    utils.ReadStoredValue("Missing", value);
    EXPECT_STREQ(value, "Unknown");
    EXPECT_TRUE(GetValueStore().empty());
    GetValueStore()["Other"] = "1";
    utils.ReadStoredValue("Missing", value);
    EXPECT_STREQ(value, "Unknown");
    EXPECT_EQ(GetValueStore().size(), 1u);
    GetValueStore()["Blank"] = " \t ";
    utils.ReadStoredValue("Blank", value);
    EXPECT_STREQ(value, "Unknown");
    GetValueStore()["Padded"] = " v ";
    utils.ReadStoredValue("Padded", value);
    EXPECT_STREQ(value, "v");
}

TEST_F(ValueStoreTest, DumpSkipsLinesThatDoNotFitWithTheirZero) {
    // "[T: A] - [V: 1]\n" is 16 bytes.
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> entries;
        int size;
        const char* expected;  // nullptr: buffer untouched
    } cases[] = {
        {"one byte shorter than the buffer", {{"A", "1"}}, 17, "[T: A] - [V: 1]\n"},
        {"as long as the buffer", {{"A", "1"}}, 16, nullptr},
        {"only the second fits", {{"A", "long value"}, {"B", "2"}}, 20, "[T: B] - [V: 2]\n"},
        {"both fit", {{"A", "1"}, {"B", "2"}}, 33, "[T: A] - [V: 1]\n[T: B] - [V: 2]\n"},
        {"second skipped, third fits",
         {{"A", "1"}, {"B", "22222"}, {"C", "3"}},
         35,
         "[T: A] - [V: 1]\n[T: C] - [V: 3]\n"},
        {"size zero", {{"A", "1"}}, 0, nullptr},
        {"negative size", {{"A", "1"}}, -4, nullptr},
        {"empty store", {}, 64, nullptr},
    };
    for (const auto& c : cases) {
        GetValueStore().clear();
        for (const auto& e : c.entries)
            GetValueStore()[e.first] = e.second;
        char buffer[80];
        memset(buffer, '#', sizeof buffer);
        utils.ReadStoredValues(buffer, c.size);
        if (c.expected) {
            EXPECT_STREQ(buffer, c.expected) << c.name;
            EXPECT_EQ(buffer[strlen(c.expected) + 1], '#') << c.name << ": nothing past the zero";
        } else {
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'))
                << c.name;
        }
    }
}

TEST_F(ValueStoreTest, FileExistsSearchesTheSoftwareLocation) {
    zrtest::GatewayDirs dirs;
    dirs.software.Write("tarvik_lc.bin", "x");
    std::filesystem::create_directory(dirs.software.File("subdir"));
    EXPECT_TRUE(utils.FileExists("tarvik_lc.bin"));
    EXPECT_TRUE(utils.FileExists("tarvik_*.bin"));
    EXPECT_TRUE(utils.FileExists("tarvik_l?.bin"));
    EXPECT_TRUE(utils.FileExists("subdir")) << "a directory counts";
    EXPECT_FALSE(utils.FileExists("tarvik_lc.load"));
    EXPECT_FALSE(utils.FileExists(""));
    EXPECT_EQ(utils.GetIPAddress(), 0u);
    utils.SetIPAddress(1);
    utils.CloseSocket();
}

}  // namespace
