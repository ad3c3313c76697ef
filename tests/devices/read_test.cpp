// Reading a device: release identifiers, identity values and the identity
// record file, against the simulated device over loopback.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "tests/support/attributes.h"

namespace {

using gwsim::CableType;
using zrtest::DeviceState;
using zrtest::Family;
using zrtest::seconds;
using zrtest::StatusFault;
using Lines = std::vector<std::string>;

const uint32_t kLc = 0x20000000, kProm = 0x10000000, kBoot = 0x01000000, kCpld = 0x800,
               kCable = 0x200, kSerial = 0x80000000, kMac = 0x20000;
const std::string kOwn = "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57";
const char* const kIgnored =
    "CTarvikUtils::StoreTarvikSerialNumToFile>> Ignoring invalid serial number";

DeviceState Zel() {
    return DeviceState::Default(Family::ZEL);
}

class ReadTest : public zrtest::DeviceTest {
protected:
    bool NoTemporaryFile() const { return !dirs.logs.Exists("Tarvik_Serial_Nums.txt.tmp"); }
    Lines Records() const {
        return dirs.logs.Exists(TARVIK_SERIAL_NUMS_FILE) ? dirs.logs.Lines(TARVIK_SERIAL_NUMS_FILE)
                                                         : Lines{"(no file)"};
    }
};

TEST_F(ReadTest, SuccessfulReadFilesEveryAttributeAndOneRecord) {
    Start();
    ASSERT_TRUE(dev->GetReleaseIds(true, false));
    EXPECT_EQ(
        Stored(zrtest::TarvikAttributes()),
        (Lines{"ZEL0012345", "R2.10.3", "R1.4.0", "CPOD_LC_R2.10.3", "CPOD_PROM_R1.4.0", "R1.0.2",
               "CPOD_BOOT_R1.0.2", "STANDARD CORVEL CPLD", "STANDARD CORVEL CPLD", "CPOD_TSN_R2.4",
               "CPOD_TSN_R2.4", "Unknown", "Unknown", "00:50:C2:12:34:56", "00:50:C2:12:34:57"}));
    EXPECT_EQ(GetValueStore().size(), 15u);
    EXPECT_EQ(Codes(),
              "1:20000000/128 1:10000000/128 1:1000000/128 1:800/4 1:200/128 "
              "1:20000/128 1:20000/128 1:80000000/128");
    const auto requests = sim->Requests();
    EXPECT_EQ(std::make_pair(requests[5].qualifier, requests[6].qualifier),
              std::make_pair(0x88000000u, 0x48000000u));
    for (const auto& r : requests)  // one connection for the whole read
        EXPECT_TRUE(r.connection == requests[0].connection && r.payload.empty());
    EXPECT_TRUE(sim->WaitUntil([&] { return sim->Events().back().type == gwsim::EventType::Close; },
                               seconds(5)));
    EXPECT_EQ(log.Texts("RT_COMMS_I"), (Lines{"CPLD REV:0x00000000 VSI:0x00000001",
                                              "Tessan Active Cable Version: CPOD_TSN_R2.4.",
                                              "R318 Active Cable Version: Unknown."}));
    EXPECT_TRUE(log.Texts("RT_COMMS_E").empty());
    EXPECT_EQ(Records(), Lines{kOwn});
}

TEST_F(ReadTest, SecondFamilyTrimsReleasesAndStoresFiveKeys) {
    DeviceState state = DeviceState::Default(Family::MIR);
    state.prom_release = "Release1.2";
    state.serial_number = "SN Release 7";
    const struct {
        std::string lc;
        const char *trimmed, *untrimmed;
    } cases[] = {{"MIR Release 3.4", "R3.4", "MIR Release 3.4"},
                 {"3.4", "3.4", "3.4"},
                 {"Release3.4", "Release3.4", "Release3.4"},
                 {"Module Release ", "R", "Module Release"},
                 {"   ", "Unknown", "Unknown"},
                 {std::string(128, 'x'), "Unknown", "Unknown"},
                 {"release 2.0", "release 2.0", "release 2.0"}};
    for (const auto& c : cases) {
        state.lc_release = c.lc;
        Start(state);
        ASSERT_TRUE(dev->GetReleaseIds(true, false)) << c.lc;
        // The serial number is offered for trimming too.
        EXPECT_EQ(Stored(zrtest::SollumAttributes()),
                  (Lines{"R7", c.trimmed, "Release1.2", c.untrimmed, "Release1.2"}))
            << "'" << c.lc << "'";
        EXPECT_EQ(Codes(), "11:2/128 11:3/128 11:1/128");
    }
}

TEST_F(ReadTest, OutcomeTable) {
    const struct {
        Family family;
        bool connected, locked, lcFails, result;
        const char* value;
        size_t requests;
    } cases[] = {{Family::ZEL, true, true, false, true, "Unknown", 0},
                 {Family::ZEL, false, true, false, true, "Unknown", 0},
                 {Family::ZEL, false, false, false, false, "NotConnected", 0},
                 {Family::ZEL, true, false, true, false, "Unknown", 1},
                 {Family::MIR, true, true, false, true, "Unknown", 0},
                 {Family::MIR, false, false, false, false, "NotConnected", 0},
                 {Family::MIR, true, false, true, false, "Unknown", 1}};
    for (const auto& c : cases) {
        const bool zel = c.family == Family::ZEL;
        Start(DeviceState::Default(c.family));
        if (c.lcFails)
            sim->AddFault(zel ? StatusFault(kLc, 5) : StatusFault(2, 0x0000FFFF));
        EXPECT_EQ(dev->GetReleaseIds(c.connected, c.locked), c.result);
        const auto& keys = zel ? zrtest::TarvikAttributes() : zrtest::SollumAttributes();
        EXPECT_EQ(Stored(keys), Lines(keys.size(), c.value));
        EXPECT_EQ(sim->RequestCount(), c.requests);
        EXPECT_EQ(sim->ConnectionCount(), c.requests ? 1u : 0u);
        EXPECT_FALSE(dirs.logs.Exists(TARVIK_SERIAL_NUMS_FILE));
    }
}

TEST_F(ReadTest, NothingListeningStoresNotConnectedAfterFiveWaits) {
    zrtest::AddressHole hole;
    CTarvikUtils unreachable(new CGatewayComms(9191));
    unreachable.SetIPAddress(inet_addr(hole.address().c_str()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(unreachable.GetReleaseIds(true, false));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(elapsed >= seconds(4) && elapsed <= seconds(8));  // five connection waits
    EXPECT_EQ(Stored(zrtest::TarvikAttributes()), Lines(15, "NotConnected"));
    EXPECT_FALSE(dirs.logs.Exists(TARVIK_SERIAL_NUMS_FILE));
}

TEST_F(ReadTest, CpldStatusRules) {
    const struct {
        bool custom;
        uint32_t revision;
        int cpldStatus;  // -1: the device's own answer
        bool bootstrapFails;
        const char* stored;
        size_t bootstrapQueries;
    } cases[] = {{true, 3, -1, false, "R3", 1},
                 {false, 0, -1, false, "STANDARD CORVEL CPLD", 1},
                 {true, 9, 4, false, "STANDARD CORVEL CPLD", 1},
                 {true, 9, 7, false, "R0", 2},  // other status: the bootstrap is asked again
                 {true, 9, 7, true, "STANDARD CORVEL CPLD", 2}};
    for (const auto& c : cases) {
        DeviceState state = Zel();
        state.cpld_custom = c.custom;
        state.cpld_revision = c.revision;
        Start(state);
        if (c.cpldStatus >= 0)
            sim->AddFault(StatusFault(kCpld, static_cast<uint32_t>(c.cpldStatus)));
        if (c.bootstrapFails)
            sim->AddFault(StatusFault(kBoot, 3));
        log.Clear();
        ASSERT_TRUE(dev->GetReleaseIds(true, false)) << c.stored;
        EXPECT_EQ(Stored({"Tarvik_CPLD_Release", "Tarvik_CPLD_Release_Untrimmed"}),
                  Lines(2, c.stored));
        const auto rs = sim->Requests();
        EXPECT_EQ(std::count_if(rs.begin(), rs.end(), [](auto& r) { return r.code == kBoot; }),
                  long(c.bootstrapQueries));
        EXPECT_EQ(log.CountText("***** Non-Standard CPLD Detected *****"),
                  std::string(c.stored) != "STANDARD CORVEL CPLD" ? 1 : 0);
    }
}

TEST_F(ReadTest, ActiveCablePrefixRules) {
    const struct {
        CableType cable;
        const char *version, *mac, *r318;
    } cases[] = {
        {CableType::Mac, "CPOD_TSN_R2.4", "CPOD_TSN_R2.4", "Unknown"},
        {CableType::R318, "CPOD_R318_R1.7", "Unknown", "CPOD_R318_R1.7"},
        {CableType::Mac, "CPOD_XYZ_R1.0", "Unknown", "Unknown"},
        {CableType::None, "", "Unknown", "Unknown"},  // the query fails
    };
    for (const auto& c : cases) {
        DeviceState state = Zel();
        state.cable = c.cable;
        state.cable_version = c.version;
        Start(state);
        log.Clear();
        ASSERT_TRUE(dev->GetReleaseIds(true, false)) << c.version;
        EXPECT_EQ(
            Stored({"Tarvik_MAC_Firmware_Release", "Tarvik_MAC_Firmware_Release_Untrimmed",
                    "Tarvik_R318_Firmware_Release", "Tarvik_R318_Firmware_Release_Untrimmed"}),
            (Lines{c.mac, c.mac, c.r318, c.r318}));
        const int failed = c.cable == CableType::None;
        EXPECT_EQ(log.CountText("Get Active Cable (Tessan/R318) firmware version failed."), failed);
        EXPECT_EQ(log.CountText(std::string("Tessan Active Cable Version: ") + c.mac + "."),
                  !failed);
        EXPECT_EQ(log.CountText(std::string("R318 Active Cable Version: ") + c.r318 + "."),
                  !failed);
    }
}

TEST_F(ReadTest, LongTextsFailedQueriesAndTheSerialNumber) {
    DeviceState state = Zel();
    state.lc_release = std::string(128, 'L');  // 128 bytes or more read as empty
    state.prom_release = "CPOD_PROM_" + std::string(200, 'P');
    state.bootstrap_release = std::string(127, 'B');
    Start(state);
    EXPECT_TRUE(dev->GetReleaseIds(true, false)) << "an empty LC text still counts as read";
    EXPECT_EQ(Stored({"Tarvik_Release", "Tarvik_PROM_Release", "Tarvik_Bootstrap_Release"}),
              (Lines{"Unknown", "Unknown", std::string(127, 'B')}));
    EXPECT_EQ(log.Texts("RT_COMMS_E"), Lines{"Get VSI_GET_PROM_VERSION failed."});

    Start();
    sim->AddFault(StatusFault(kProm, 9));
    sim->AddFault(StatusFault(kMac, 9));
    log.Clear();
    ASSERT_TRUE(dev->GetReleaseIds(true, false));
    EXPECT_EQ(Stored({"Tarvik_PROM_Release", "Tarvik_PROM_Release_Untrimmed", "Tarvik_MACAddress",
                      "Tarvik_USBMACAddress", "Tarvik_Release"}),
              (Lines{"Unknown", "Unknown", "Unknown", "Unknown", "R2.10.3"}));
    EXPECT_EQ(log.Texts("RT_COMMS_E"),
              (Lines{"Get VSI_GET_PROM_VERSION failed.", "Get Tarvik MAC Address failed.",
                     "Get Tarvik USB MAC Address failed."}));
    EXPECT_EQ(Records(), Lines{"ZEL0012345,R2.10.3,Unknown,R1.0.2,Unknown,Unknown"});

    // The serial number is asked for only with a short LC release.
    const struct {
        const char *lc, *serial;
        bool asked;
        const char* stored;
    } cases[] = {
        {"CPOD_LC_R2.10.3", "ZEL77", true, "ZEL77"}, {"LC 2.10.3", "ZEL77", false, "Unknown"},
        {"CPOD_LC_X2", "ZEL77", false, "Unknown"},   {"CPOD_LC_R2", "UNKNOWN", true, "Unknown"},
        {"CPOD_LC_R2", "unknown", true, "unknown"},  {"CPOD_LC_R2", "", true, "Unknown"}};
    for (const auto& c : cases) {
        state = Zel();
        state.lc_release = c.lc;
        state.serial_number = c.serial;
        Start(state);
        ASSERT_TRUE(dev->GetReleaseIds(true, false));
        EXPECT_EQ(sim->Requests().back().code == kSerial, c.asked) << c.lc;
        EXPECT_EQ(Stored("Tarvik_SerialNum"), c.stored) << c.lc << "/" << c.serial;
    }
}

// The record file after a read: other devices' records kept in order, the
// device's own replacing its earlier lines or appended; a file whose bytes
// stay the same is not written. A temporary file that no writer holds was
// left by a crash and goes; a side copy of an earlier version stays.
TEST_F(ReadTest, RecordFileTable) {
    namespace fs = std::filesystem;
    const std::string older =
        "ZEL0012345,R2.09.9,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:50";
    const std::string a = "A1,x", le = CStdioFile::StoredLineEnd(), u = "A1,Unknown,Unknown",
                      ev = kOwn.substr(10),
                      side = "V 000000000000000 001500000000000 000000000000000\n";
    const char *tmp = "Tarvik_Serial_Nums.txt.tmp", *saved = "Tarvik_Serial_Nums.txt.saved";
    using Change = void (*)(DeviceState&);
    const Change evil = [](DeviceState&s) { s.serial_number = "ZEL99\r\nZEL0012345,R0,evil"; },
                 noSerial = [](DeviceState&s) { s.lc_release = "LC 2.0"; },
                 absent = [](DeviceState&s) {
                     s.mac_address = "NOTconnected";
                     s.usb_mac_address = "notconnected";
                     s.bootstrap_release = "NotConnected";
                 };
    const struct {
        const char* before;  // nullptr: no file
        std::string more;
        Lines after;
        int ignored = 0;             // lines dropped as invalid
        Change change = nullptr;     // of the device
        const char* left = nullptr;  // a file left beside it
        std::string leftContent = "";
    } cases[] = {
        {nullptr, "", {kOwn}},
        {"A1,R1,R1,R1,m,u\nB2,R2,R2,R2,m,u\n", "", {"A1,R1,R1,R1,m,u", "B2,R2,R2,R2,m,u", kOwn}},
        {"A1,x\nZEL0012345,old\nB2,y\n", "", {a, kOwn, "B2,y"}},
        {"\n  A1,x  \r\n\n\t\nB2,y", "", {a, "B2,y", kOwn}},
        {"ZEL0012345,a\nC3\nold ZEL0012345 b\n", "", {kOwn, "C3", kOwn}},
        {"", "Unknown,UNKNOWN,unknown\n" + u + "\nunknown\n", {u, kOwn}, 2},
        {"A1,x\r\nB2,y\r\n", "", {a, "B2,y", kOwn}},
        // A record of the same length: only its changed bytes are written.
        {"", older + "\nA1,x\n", {kOwn, a}},
        {"A1,x\n", older + "\n", {a, kOwn}},
        {"", older + "\n", {kOwn}},
        {"A1,x\n", older, {a, kOwn}},
        // Line breaks in the device's text are written as spaces.
        {"ZEL0012345,old\n", "", {"ZEL0012345,old", "ZEL99  ZEL0012345,R0,evil" + ev}, 0, evil},
        {"", a + le + kOwn + le + "B2,y" + le, {a, kOwn, "B2,y"}},
        {"", a + le + le + kOwn + le, {a, kOwn}},
        // Empty and not-connected values are written as "Unknown".
        {"", "", {"ZEL0012345,R2.10.3,R1.4.0,NotConnected,Unknown,Unknown"}, 0, absent},
        // Without a serial number the file is cleaned but gets no record.
        {"  A1,Unknown,x\n\nUnknown,UNKNOWN\nB2,y", "", {"A1,Unknown,x", "B2,y"}, 1, noSerial},
        {"", a + le, {a, kOwn}, 0, nullptr, tmp, "A1,half"},
        {"", a + le + kOwn + le, {a, kOwn}, 0, nullptr, tmp, ""},
        {"", a + le, {a, kOwn}, 0, nullptr, saved, side}};
    const std::string path = dirs.logs.File(TARVIK_SERIAL_NUMS_FILE);
    for (const auto& c : cases) {
        DeviceState state = Zel();
        if (c.change)
            c.change(state);
        Start(state);
        fs::remove(path);
        if (c.before) {
            dirs.logs.Write(TARVIK_SERIAL_NUMS_FILE, c.before + c.more);
            fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24));
        }
        const auto mtime = c.before ? fs::last_write_time(path) : fs::file_time_type();
        if (c.left)
            dirs.logs.Write(c.left, c.leftContent);
        log.Clear();
        ASSERT_TRUE(dev->GetReleaseIds(true, false));
        std::string bytes;
        for (const std::string& line : c.after)
            bytes += line + CStdioFile::StoredLineEnd();
        EXPECT_EQ(Records(), c.after) << c.before << c.more;
        EXPECT_EQ(dirs.logs.Read(TARVIK_SERIAL_NUMS_FILE), bytes);
        EXPECT_EQ(c.before && fs::last_write_time(path) == mtime,
                  c.before && bytes == c.before + c.more);
        EXPECT_EQ(log.CountText(kIgnored), c.ignored);
        EXPECT_EQ(log.Texts("RT_COMMS_E").size(), size_t(c.ignored));
        EXPECT_TRUE(NoTemporaryFile());
        EXPECT_EQ(dirs.logs.Exists(saved), c.left == saved);
        EXPECT_EQ(c.left == saved ? dirs.logs.Read(saved) : c.leftContent, c.leftContent);
        fs::remove(dirs.logs.File(saved));
    }
}

// A directory in place of the record file is reported; the value store is
// not affected.
TEST_F(ReadTest, AnUnwritableRecordFileIsReported) {
    Start();
    // Sockets closed below one still open leave a gap that the read's wait walks past.
    SOCKET gap[3];
    for (SOCKET& s : gap)
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    closesocket(gap[0]);
    closesocket(gap[1]);
    std::filesystem::create_directory(dirs.logs.File(TARVIK_SERIAL_NUMS_FILE));
    EXPECT_TRUE(dev->GetReleaseIds(true, false));
    const auto errors = log.Texts("RT_COMMS_E");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(
        errors[0].rfind("CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems: ", 0),
        0u);
    EXPECT_EQ(Stored("Tarvik_SerialNum"), "ZEL0012345");
    closesocket(gap[2]);
}

// Another program holding the record file open without delete sharing keeps
// it from being replaced: the read waits a while, reports and leaves it.
TEST_F(ReadTest, ARecordFileHeldOpenElsewhereIsLeftAsItWas) {
    Start();
    dirs.logs.Write(TARVIK_SERIAL_NUMS_FILE, "A1,x\n");
    CFile other;
    ASSERT_TRUE(other.Open(dirs.logs.File(TARVIK_SERIAL_NUMS_FILE).c_str(),
                           CFile::modeRead | CFile::shareDenyNone));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(dev->GetReleaseIds(true, false));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(waited >= seconds(4) && waited <= seconds(8));
    EXPECT_EQ(log.CountText("CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems: 5"),
              1);
    EXPECT_EQ(dirs.logs.Read(TARVIK_SERIAL_NUMS_FILE), "A1,x\n");
    EXPECT_TRUE(NoTemporaryFile());
    other.Close();
    ASSERT_TRUE(dev->GetReleaseIds(true, false));
    EXPECT_EQ(Records().size(), 2u);
}

}  // namespace
