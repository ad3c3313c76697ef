// Reading a first-generation device: release identifiers, identity values and
// the identity record file, against the simulated device over loopback.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "tests/support/attributes.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/tarvikutils.h"

namespace {

using gwsim::CableType;
using gwsim::DeviceState;
using gwsim::Family;
using zrtest::StatusFault;

const uint32_t kLc = 0x20000000, kProm = 0x10000000, kBoot = 0x01000000, kCpld = 0x800,
               kCable = 0x200, kSerial = 0x80000000, kMac = 0x20000;

class TarvikReadTest : public zrtest::DeviceTest {
protected:
    void Start(const DeviceState& state = DeviceState::Default(Family::ZEL)) {
        StartDevice(state);
        tarvik.reset(new CTarvikUtils(new CGatewayComms(9191)));
        tarvik->SetIPAddress(DeviceAddress());
    }
    bool NoTemporaryFile() const { return !dirs.logs.Exists("Tarvik_Serial_Nums.txt.tmp"); }
    std::vector<std::string> RecordLines() const {
        return dirs.logs.Exists(TARVIK_SERIAL_NUMS_FILE) ? dirs.logs.Lines(TARVIK_SERIAL_NUMS_FILE)
                                                         : std::vector<std::string>{"(no file)"};
    }
    std::unique_ptr<CTarvikUtils> tarvik;
};

TEST_F(TarvikReadTest, SuccessfulReadFilesEveryAttributeAndOneRecord) {
    Start();
    ASSERT_TRUE(tarvik->GetReleaseIds(true, false));
    const std::pair<const char*, const char*> expected[] = {
        {"Tarvik_Release", "R2.10.3"},
        {"Tarvik_Release_Untrimmed", "CPOD_LC_R2.10.3"},
        {"Tarvik_PROM_Release", "R1.4.0"},
        {"Tarvik_PROM_Release_Untrimmed", "CPOD_PROM_R1.4.0"},
        {"Tarvik_Bootstrap_Release", "R1.0.2"},
        {"Tarvik_Bootstrap_Release_Untrimmed", "CPOD_BOOT_R1.0.2"},
        {"Tarvik_CPLD_Release", "STANDARD CORVEL CPLD"},
        {"Tarvik_CPLD_Release_Untrimmed", "STANDARD CORVEL CPLD"},
        {"Tarvik_MAC_Firmware_Release", "CPOD_TSN_R2.4"},
        {"Tarvik_MAC_Firmware_Release_Untrimmed", "CPOD_TSN_R2.4"},
        {"Tarvik_R318_Firmware_Release", "Unknown"},
        {"Tarvik_R318_Firmware_Release_Untrimmed", "Unknown"},
        {"Tarvik_MACAddress", "00:50:C2:12:34:56"},
        {"Tarvik_USBMACAddress", "00:50:C2:12:34:57"},
        {"Tarvik_SerialNum", "ZEL0012345"},
    };
    for (const auto& e : expected)
        EXPECT_EQ(Stored(e.first), e.second) << e.first;
    EXPECT_EQ(GetValueStore().size(), 15u);

    EXPECT_EQ(RequestCodes(),
              (std::vector<uint32_t>{kLc, kProm, kBoot, kCpld, kCable, kMac, kMac, kSerial}));
    const auto requests = sim->Requests();
    EXPECT_EQ(requests[5].qualifier, 0x88000000u);
    EXPECT_EQ(requests[6].qualifier, 0x48000000u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.connection, requests[0].connection) << "one connection for the whole read";
        EXPECT_EQ(r.room, r.code == kCpld ? 4u : 128u);
        EXPECT_TRUE(r.payload.empty());
    }
    EXPECT_TRUE(sim->WaitUntil([&] { return sim->Events().back().type == gwsim::EventType::Close; },
                               std::chrono::seconds(5)))
        << "the connection is closed at the end";

    EXPECT_EQ(log.Texts("RT_COMMS_I"),
              (std::vector<std::string>{"CPLD REV:0x00000000 VSI:0x00000001",
                                        "Tessan Active Cable Version: CPOD_TSN_R2.4.",
                                        "R318 Active Cable Version: Unknown."}));
    EXPECT_TRUE(log.Texts("RT_COMMS_E").empty());
    EXPECT_EQ(RecordLines(),
              (std::vector<std::string>{
                  "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57"}));
}

TEST_F(TarvikReadTest, OutcomeTable) {
    const struct {
        const char* name;
        bool connected;
        bool locked;
        bool lcFails;
        bool result;
        const char* value;
        size_t requests;
    } cases[] = {
        {"locked while connected", true, true, false, true, "Unknown", 0},
        {"locked while disconnected", false, true, false, true, "Unknown", 0},
        {"not connected", false, false, false, false, "NotConnected", 0},
        {"LC query fails", true, false, true, false, "Unknown", 1},
    };
    for (const auto& c : cases) {
        Start();
        if (c.lcFails)
            sim->AddFault(StatusFault(kLc, 5));
        EXPECT_EQ(tarvik->GetReleaseIds(c.connected, c.locked), c.result) << c.name;
        for (const char* key : zrtest::TarvikAttributes())
            EXPECT_EQ(Stored(key), c.value) << c.name << key;
        EXPECT_EQ(sim->RequestCount(), c.requests) << c.name;
        EXPECT_EQ(sim->ConnectionCount(), c.requests ? 1u : 0u) << c.name;
        EXPECT_FALSE(dirs.logs.Exists(TARVIK_SERIAL_NUMS_FILE)) << c.name;
        sim.reset();
    }
}

TEST_F(TarvikReadTest, NothingListeningStoresNotConnectedAfterFiveWaits) {
    GetValueStore().clear();
    zrtest::AddressHole hole;
    CTarvikUtils unreachable(new CGatewayComms(9191));
    unreachable.SetIPAddress(inet_addr(hole.address().c_str()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(unreachable.GetReleaseIds(true, false));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::seconds(4));
    EXPECT_LE(elapsed, std::chrono::seconds(8));
    for (const char* key : zrtest::TarvikAttributes())
        EXPECT_EQ(Stored(key), "NotConnected") << key;
    EXPECT_FALSE(dirs.logs.Exists(TARVIK_SERIAL_NUMS_FILE));
}

TEST_F(TarvikReadTest, CpldStatusRules) {
    const struct {
        const char* name;
        bool custom;
        uint32_t revision;
        int cpldStatus;  // -1: the device's own answer
        bool bootstrapFails;
        const char* stored;
        size_t bootstrapQueries;
    } cases[] = {
        {"custom revision 3", true, 3, -1, false, "R3", 1},
        {"standard", false, 0, -1, false, "STANDARD CORVEL CPLD", 1},
        {"status 4", true, 9, 4, false, "STANDARD CORVEL CPLD", 1},
        {"other status, bootstrap answers", true, 9, 7, false, "R0", 2},
        {"other status, bootstrap fails", true, 9, 7, true, "STANDARD CORVEL CPLD", 2},
    };
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::ZEL);
        state.cpld_custom = c.custom;
        state.cpld_revision = c.revision;
        Start(state);
        if (c.cpldStatus >= 0)
            sim->AddFault(StatusFault(kCpld, static_cast<uint32_t>(c.cpldStatus)));
        if (c.bootstrapFails)
            sim->AddFault(StatusFault(kBoot, 3));
        ASSERT_TRUE(tarvik->GetReleaseIds(true, false)) << c.name;
        EXPECT_EQ(Stored("Tarvik_CPLD_Release"), c.stored) << c.name;
        EXPECT_EQ(Stored("Tarvik_CPLD_Release_Untrimmed"), c.stored) << c.name;
        size_t bootstrapQueries = 0;
        for (uint32_t code : RequestCodes())
            bootstrapQueries += code == kBoot ? 1 : 0;
        EXPECT_EQ(bootstrapQueries, c.bootstrapQueries) << c.name;
        const bool nonStandard = std::string(c.stored) != "STANDARD CORVEL CPLD";
        EXPECT_EQ(log.CountText("***** Non-Standard CPLD Detected *****"), nonStandard ? 1 : 0)
            << c.name;
        log.Clear();
        sim.reset();
    }
}

TEST_F(TarvikReadTest, ActiveCablePrefixRules) {
    const struct {
        const char* name;
        CableType cable;
        const char* version;
        const char* mac;
        const char* r318;
        bool failed;
    } cases[] = {
        {"mac cable", CableType::Mac, "CPOD_TSN_R2.4", "CPOD_TSN_R2.4", "Unknown", false},
        {"r318 cable", CableType::R318, "CPOD_R318_R1.7", "Unknown", "CPOD_R318_R1.7", false},
        {"neither prefix", CableType::Mac, "CPOD_XYZ_R1.0", "Unknown", "Unknown", false},
        {"no cable", CableType::None, "", "Unknown", "Unknown", true},
    };
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::ZEL);
        state.cable = c.cable;
        state.cable_version = c.version;
        Start(state);
        ASSERT_TRUE(tarvik->GetReleaseIds(true, false)) << c.name;
        EXPECT_EQ(Stored("Tarvik_MAC_Firmware_Release"), c.mac) << c.name;
        EXPECT_EQ(Stored("Tarvik_MAC_Firmware_Release_Untrimmed"), c.mac) << c.name;
        EXPECT_EQ(Stored("Tarvik_R318_Firmware_Release"), c.r318) << c.name;
        EXPECT_EQ(Stored("Tarvik_R318_Firmware_Release_Untrimmed"), c.r318) << c.name;
        EXPECT_EQ(log.CountText("Get Active Cable (Tessan/R318) firmware version failed."),
                  c.failed ? 1 : 0)
            << c.name;
        EXPECT_EQ(log.CountText(std::string("Tessan Active Cable Version: ") + c.mac + "."),
                  c.failed ? 0 : 1)
            << c.name;
        EXPECT_EQ(log.CountText(std::string("R318 Active Cable Version: ") + c.r318 + "."),
                  c.failed ? 0 : 1)
            << c.name;
        log.Clear();
        sim.reset();
    }
}

TEST_F(TarvikReadTest, TextsOf128BytesOrMoreReadAsEmpty) {
    DeviceState state = DeviceState::Default(Family::ZEL);
    state.lc_release = std::string(128, 'L');
    state.prom_release = "CPOD_PROM_" + std::string(200, 'P');
    state.bootstrap_release = std::string(127, 'B');
    Start(state);
    EXPECT_TRUE(tarvik->GetReleaseIds(true, false)) << "an empty LC text still counts as read";
    EXPECT_EQ(Stored("Tarvik_Release"), "Unknown");
    EXPECT_EQ(Stored("Tarvik_PROM_Release"), "Unknown");
    EXPECT_EQ(log.CountText("Get VSI_GET_PROM_VERSION failed."), 1);
    EXPECT_EQ(Stored("Tarvik_Bootstrap_Release"), std::string(127, 'B'));
    EXPECT_EQ(log.CountText("Get VSI_GET_BOOTSTRAP_VERSION failed."), 0);
}

TEST_F(TarvikReadTest, SerialNumberNeedsAShortLcRelease) {
    const struct {
        const char* lc;
        const char* serial;
        bool asked;
        const char* stored;
    } cases[] = {
        {"CPOD_LC_R2.10.3", "ZEL77", true, "ZEL77"}, {"LC 2.10.3", "ZEL77", false, "Unknown"},
        {"CPOD_LC_X2", "ZEL77", false, "Unknown"},   {"CPOD_LC_R2", "UNKNOWN", true, "Unknown"},
        {"CPOD_LC_R2", "unknown", true, "unknown"},  {"CPOD_LC_R2", "", true, "Unknown"},
    };
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::ZEL);
        state.lc_release = c.lc;
        state.serial_number = c.serial;
        Start(state);
        ASSERT_TRUE(tarvik->GetReleaseIds(true, false));
        const auto codes = RequestCodes();
        EXPECT_EQ(codes.back() == kSerial, c.asked) << c.lc;
        EXPECT_EQ(Stored("Tarvik_SerialNum"), c.stored) << c.lc << "/" << c.serial;
        sim.reset();
    }
}

TEST_F(TarvikReadTest, FailedLaterQueriesOnlyAffectTheirOwnAttributes) {
    Start();
    sim->AddFault(StatusFault(kProm, 9));
    sim->AddFault(StatusFault(kMac, 9));
    ASSERT_TRUE(tarvik->GetReleaseIds(true, false));
    EXPECT_EQ(Stored("Tarvik_PROM_Release"), "Unknown");
    EXPECT_EQ(Stored("Tarvik_PROM_Release_Untrimmed"), "Unknown");
    EXPECT_EQ(Stored("Tarvik_MACAddress"), "Unknown");
    EXPECT_EQ(Stored("Tarvik_USBMACAddress"), "Unknown");
    EXPECT_EQ(Stored("Tarvik_Release"), "R2.10.3");
    EXPECT_EQ(log.Texts("RT_COMMS_E"),
              (std::vector<std::string>{"Get VSI_GET_PROM_VERSION failed.",
                                        "Get Tarvik MAC Address failed.",
                                        "Get Tarvik USB MAC Address failed."}));
    EXPECT_EQ(RecordLines(),
              (std::vector<std::string>{"ZEL0012345,R2.10.3,Unknown,R1.0.2,Unknown,Unknown"}));
}

// ---- identity record file -------------------------------------------------

TEST_F(TarvikReadTest, RecordFileKeepsOtherDevicesAndReplacesItsOwnLine) {
    const std::string own = "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57";
    const std::string older =
        "ZEL0012345,R2.09.9,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:50";
    const struct {
        const char* name;
        std::string before;
        std::vector<std::string> after;
        int ignored;                   // lines dropped as invalid
        const char* serial = nullptr;  // the device's, when not the default
    } cases[] = {
        {"missing file", "", {own}, 0},
        {"others kept in order, own appended",
         "A1,R1,R1,R1,m,u\nB2,R2,R2,R2,m,u\n",
         {"A1,R1,R1,R1,m,u", "B2,R2,R2,R2,m,u", own},
         0},
        {"own line replaced in place", "A1,x\nZEL0012345,old\nB2,y\n", {"A1,x", own, "B2,y"}, 0},
        {"blank lines and surrounding space go",
         "\n  A1,x  \r\n\n\t\nB2,y",
         {"A1,x", "B2,y", own},
         0},
        {"every line holding the serial is replaced",
         "ZEL0012345,a\nC3\nold ZEL0012345 b\n",
         {own, "C3", own},
         0},
        {"all-unknown lines dropped",
         "Unknown,UNKNOWN,unknown\nA1,Unknown,Unknown\nunknown\n",
         {"A1,Unknown,Unknown", own},
         2},
        {"CR LF lines", "A1,x\r\nB2,y\r\n", {"A1,x", "B2,y", own}, 0},
        // A record of the same length: only its changed bytes are written.
        {"same-length record first", older + "\nA1,x\n", {own, "A1,x"}, 0},
        {"same-length record last", "A1,x\n" + older + "\n", {"A1,x", own}, 0},
        {"same-length record alone", older + "\n", {own}, 0},
        {"same-length record, last line without line end", "A1,x\n" + older, {"A1,x", own}, 0},
        {"line breaks in the device's text are written as spaces",
         "ZEL0012345,old\n",
         {"ZEL0012345,old", "ZEL99  ZEL0012345,R0,evil" + own.substr(10)},
         0,
         "ZEL99\r\nZEL0012345,R0,evil"},
    };
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::ZEL);
        if (c.serial)
            state.serial_number = c.serial;
        Start(state);
        dirs.logs.Write(TARVIK_SERIAL_NUMS_FILE, c.before);
        if (std::string(c.name) == "missing file") {
            std::remove(dirs.logs.File(TARVIK_SERIAL_NUMS_FILE).c_str());
        }
        ASSERT_TRUE(tarvik->GetReleaseIds(true, false)) << c.name;
        EXPECT_EQ(RecordLines(), c.after) << c.name;
        std::string bytes;
        for (const std::string& line : c.after)
            bytes += line + CStdioFile::StoredLineEnd();
        EXPECT_EQ(dirs.logs.Read(TARVIK_SERIAL_NUMS_FILE), bytes) << c.name;
        EXPECT_EQ(log.CountText("CTarvikUtils::StoreTarvikSerialNumToFile>> Ignoring invalid "
                                "serial number"),
                  c.ignored)
            << c.name;
        EXPECT_TRUE(NoTemporaryFile()) << c.name;
        log.Clear();
        sim.reset();
    }
}

TEST_F(TarvikReadTest, RecordFieldsUseUnknownForEmptyAndNotConnectedMacs) {
    DeviceState state = DeviceState::Default(Family::ZEL);
    state.mac_address = "NOTconnected";
    state.usb_mac_address = "notconnected";
    state.bootstrap_release = "NotConnected";
    Start(state);
    ASSERT_TRUE(tarvik->GetReleaseIds(true, false));
    EXPECT_EQ(RecordLines(),
              (std::vector<std::string>{"ZEL0012345,R2.10.3,R1.4.0,NotConnected,Unknown,Unknown"}));
}

TEST_F(TarvikReadTest, WithoutASerialNumberTheFileIsCleanedButGetsNoRecord) {
    DeviceState state = DeviceState::Default(Family::ZEL);
    state.lc_release = "LC 2.0";  // no short form: the serial number reads "Unknown"
    Start(state);
    dirs.logs.Write(TARVIK_SERIAL_NUMS_FILE, "  A1,Unknown,x\n\nUnknown,UNKNOWN\nB2,y");
    ASSERT_TRUE(tarvik->GetReleaseIds(true, false));
    EXPECT_EQ(RecordLines(), (std::vector<std::string>{"A1,Unknown,x", "B2,y"}));
    EXPECT_EQ(log.CountText("CTarvikUtils::StoreTarvikSerialNumToFile>> Ignoring invalid "
                            "serial number"),
              1);
    const std::string cleaned = dirs.logs.Read(TARVIK_SERIAL_NUMS_FILE);
    ASSERT_TRUE(tarvik->GetReleaseIds(true, true));  // locked: no rewrite at all
    EXPECT_EQ(dirs.logs.Read(TARVIK_SERIAL_NUMS_FILE), cleaned);
}

TEST_F(TarvikReadTest, AnUnwritableRecordFileIsReportedAndNothingEscapes) {
    Start();
    std::filesystem::create_directory(dirs.logs.File(TARVIK_SERIAL_NUMS_FILE));
    EXPECT_TRUE(tarvik->GetReleaseIds(true, false));
    const auto errors = log.Texts("RT_COMMS_E");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(
        errors[0].rfind("CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems: ", 0), 0u)
        << errors[0];
    EXPECT_EQ(Stored("Tarvik_SerialNum"), "ZEL0012345") << "the value store is not affected";
}

TEST_F(TarvikReadTest, AnUnchangedFileIsNotWritten) {
    namespace fs = std::filesystem;
    const std::string le = CStdioFile::StoredLineEnd();
    const std::string own = "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57";
    const fs::file_time_type long_ago = fs::file_time_type::clock::now() - std::chrono::hours(24);
    const struct {
        const char* name;
        std::string before;
        bool written;
    } cases[] = {
        {"own record as the rewrite leaves it", "A1,x" + le + own + le + "B2,y" + le, false},
        {"own record changed", "A1,x" + le + "ZEL0012345,R1" + le + "B2,y" + le, true},
        {"a new device", "A1,x" + le, true},
        {"a blank line", "A1,x" + le + le + own + le, true},
    };
    for (const auto& c : cases) {
        Start();
        dirs.logs.Write(TARVIK_SERIAL_NUMS_FILE, c.before);
        const std::string path = dirs.logs.File(TARVIK_SERIAL_NUMS_FILE);
        fs::last_write_time(path, long_ago);
        const fs::file_time_type before = fs::last_write_time(path);  // as the system keeps it
        ASSERT_TRUE(tarvik->GetReleaseIds(true, false)) << c.name;
        EXPECT_EQ(fs::last_write_time(path) != before, c.written) << c.name;
        EXPECT_TRUE(NoTemporaryFile()) << c.name;
        sim.reset();
    }
}

// Another program holding the record file open without delete sharing keeps
// it from being replaced: the read waits for it a while, then reports and
// leaves the file as it was.
TEST_F(TarvikReadTest, ARecordFileHeldOpenElsewhereIsLeftAsItWas) {
    Start();
    dirs.logs.Write(TARVIK_SERIAL_NUMS_FILE, "A1,x\n");
    CFile other;
    ASSERT_TRUE(other.Open(dirs.logs.File(TARVIK_SERIAL_NUMS_FILE).c_str(),
                           CFile::modeRead | CFile::shareDenyNone));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(tarvik->GetReleaseIds(true, false));
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 4.0);
    EXPECT_LE(waited, 8.0);
    EXPECT_EQ(log.CountText("CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems: 5"),
              1);
    EXPECT_EQ(dirs.logs.Read(TARVIK_SERIAL_NUMS_FILE), "A1,x\n");
    EXPECT_TRUE(NoTemporaryFile());
    other.Close();
    ASSERT_TRUE(tarvik->GetReleaseIds(true, false));
    EXPECT_EQ(RecordLines().size(), 2u);
}

// Files beside the record file: a temporary file that no writer holds was
// left by a crash and goes; a side copy of an earlier version stays untouched.
TEST_F(TarvikReadTest, FilesLeftBesideTheRecordFile) {
    const std::string le = CStdioFile::StoredLineEnd();
    const std::string own = "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57";
    const std::string side = "V 000000000000000 001500000000000 000000000000000\n";
    const struct {
        const char* name;
        std::string file;
        const char* left;
        std::string leftContent;
        bool stays;
    } cases[] = {
        {"temporary file, record to add", "A1,x" + le, "Tarvik_Serial_Nums.txt.tmp", "A1,half",
         false},
        {"temporary file, record already there", "A1,x" + le + own + le,
         "Tarvik_Serial_Nums.txt.tmp", "", false},
        {"side copy of an earlier version", "A1,x" + le, "Tarvik_Serial_Nums.txt.saved", side,
         true},
    };
    for (const auto& c : cases) {
        Start();
        dirs.logs.Write(TARVIK_SERIAL_NUMS_FILE, c.file);
        dirs.logs.Write(c.left, c.leftContent);
        ASSERT_TRUE(tarvik->GetReleaseIds(true, false)) << c.name;
        EXPECT_EQ(RecordLines(), (std::vector<std::string>{"A1,x", own})) << c.name;
        EXPECT_EQ(dirs.logs.Exists(c.left), c.stays) << c.name;
        if (c.stays) {
            EXPECT_EQ(dirs.logs.Read(c.left), c.leftContent) << c.name;
        }
        EXPECT_TRUE(log.Texts("RT_COMMS_E").empty()) << c.name;
        sim.reset();
    }
}

}  // namespace
