// Updating a first-generation device, its active cable, and the custom CPLD
// setting, against the simulated device over loopback.
#include <chrono>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/tarvikutils.h"

namespace {

using gwsim::DeviceState;
using gwsim::Family;
using zrtest::StatusFault;

const uint32_t kRequestSerial = 0x00400000, kReset = 0x80000000, kUpdateCable = 0x400,
               kSerialText = 0x8000;

// Reaches the transport, so that a test can hold the connection open as a host
// would around the active-cable update.
class OpenTarvik : public CTarvikUtils {
public:
    using CTarvikUtils::CTarvikUtils;
    CGatewayComms* comms() { return m_pGatewayComms; }
};

class TarvikUpdateTest : public zrtest::DeviceTest {
protected:
    void Start(const DeviceState& state = DeviceState::Default(Family::ZEL)) {
        StartDevice(state);
        tarvik.reset(new OpenTarvik(new CGatewayComms(9191)));
        tarvik->SetIPAddress(DeviceAddress());
    }
    std::unique_ptr<OpenTarvik> tarvik;
};

TEST_F(TarvikUpdateTest, EachUpdateStagesItsFilesAndResetsTheDevice) {
    const struct {
        const char* name;
        bool (*update)(CTarvikUtils&);
        std::vector<const char*> staged;  // in order
    } cases[] = {
        {"LC", [](CTarvikUtils& t) { return t.UpdateLC(); }, {"tarvik_lc.load"}},
        {"PROM",
         [](CTarvikUtils& t) { return t.UpdatePROM(); },
         {"tarvik_prom.load", "tarvik_lc.load"}},
        {"bootstrap",
         [](CTarvikUtils& t) { return t.UpdateBootstrap(); },
         {"tarvik_bootstrap.load", "tarvik_lc.load"}},
        {"CPLD",
         [](CTarvikUtils& t) { return t.UpdateCPLD(); },
         {"tarvik_cpld.load", "tarvik_lc.load"}},
        {"MAC cable",
         [](CTarvikUtils& t) { return t.UpdateActiveCable(CT_MAC); },
         {"tarvik_mac.load", "tarvik_lc.load"}},
    };
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::ZEL);
        state.lc_release = "CPOD_LC_R1.0";
        state.prom_release = "CPOD_PROM_R1.0";
        state.bootstrap_release = "CPOD_BOOT_R1.0";
        state.cable_version = "CPOD_TSN_R1.0";
        Start(state);
        dirs.WriteFirmware("tarvik_lc.bin", "CPOD_LC_R3.0");
        dirs.WriteFirmware("tarvik_prom.bin", "CPOD_PROM_R3.0");
        dirs.WriteFirmware("tarvik_bootstrap.bin", "CPOD_BOOT_R3.0");
        dirs.WriteFirmware("tarvik_cpld.bin", "CUSTOM CPLD REV 7");
        dirs.WriteFirmware("tarvik_mac.bin", "CPOD_TSN_R3.0");

        EXPECT_TRUE(c.update(*tarvik)) << c.name;
        ASSERT_TRUE(sim->WaitForResets(1, std::chrono::seconds(5))) << c.name;

        const auto requests = sim->Requests();
        ASSERT_EQ(requests.size(), 2u) << c.name;
        EXPECT_EQ(requests[0].code, kRequestSerial);
        EXPECT_EQ(requests[0].room, 1u);
        EXPECT_EQ(requests[1].kind, 0x02);
        EXPECT_EQ(requests[1].code, kReset);
        EXPECT_FALSE(tarvik->comms()->IsSocketOpen()) << c.name;

        // The device took exactly the staged images and consumed them.
        const DeviceState after = sim->State();
        const bool lc = true;
        const bool prom = std::string(c.name) == "PROM";
        const bool boot = std::string(c.name) == "bootstrap";
        const bool cpld = std::string(c.name) == "CPLD";
        const bool cable = std::string(c.name) == "MAC cable";
        EXPECT_EQ(after.lc_release, lc ? "CPOD_LC_R3.0" : "CPOD_LC_R1.0") << c.name;
        EXPECT_EQ(after.prom_release, prom ? "CPOD_PROM_R3.0" : "CPOD_PROM_R1.0") << c.name;
        EXPECT_EQ(after.bootstrap_release, boot ? "CPOD_BOOT_R3.0" : "CPOD_BOOT_R1.0") << c.name;
        EXPECT_EQ(after.cpld_custom, cpld) << c.name;
        if (cpld) {
            EXPECT_EQ(after.cpld_revision, 7u);
        }
        EXPECT_EQ(after.cable_version, cable ? "CPOD_TSN_R3.0" : "CPOD_TSN_R1.0") << c.name;
        for (const char* staged : c.staged) {
            EXPECT_FALSE(dirs.software.Exists(staged)) << c.name << ": " << staged << " consumed";
        }
        EXPECT_TRUE(dirs.software.Exists("tarvik_lc.bin")) << "shipped images are kept";
        sim.reset();
    }
}

TEST_F(TarvikUpdateTest, AnUnreachableDeviceStillReportsSuccessAndClosesTheSocket) {
    GetValueStore().clear();
    zrtest::AddressHole hole;
    OpenTarvik unreachable(new CGatewayComms(9191));
    unreachable.SetIPAddress(inet_addr(hole.address().c_str()));
    dirs.WriteFirmware("tarvik_lc.bin", "CPOD_LC_R3.0");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(unreachable.UpdateLC());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::seconds(4)) << "five connection waits";
    EXPECT_LE(elapsed, std::chrono::seconds(8)) << "the exchanges fail at once";
    EXPECT_FALSE(unreachable.comms()->IsSocketOpen());
    EXPECT_TRUE(dirs.software.Exists("tarvik_lc.load")) << "staged for the next reset";
}

TEST_F(TarvikUpdateTest, RenamingAnUnsupportedCodeTypeIsLoggedAndStillAttempted) {
    Start();
    EXPECT_FALSE(tarvik->RenameFile(static_cast<CODETYPE>(9), false));
    EXPECT_GE(log.ErrorCount(), 1u);
    dirs.WriteFirmware("tarvik_r318.bin", "CPOD_R318_R1.7");
    log.Clear();
    EXPECT_TRUE(tarvik->RenameFile(CT_R318, false));
    EXPECT_TRUE(dirs.software.Exists("tarvik_r318.load"));
    EXPECT_TRUE(tarvik->RenameFile(CT_R318, true));
    EXPECT_FALSE(dirs.software.Exists("tarvik_r318.load"));
    EXPECT_EQ(log.ErrorCount(), 0u);
}

TEST_F(TarvikUpdateTest, ActiveCableFirmwareSendsThePathAndRetriesOnce) {
    const struct {
        const char* name;
        int failures;  // answers with a non-zero status before a good one
        size_t commands;
        size_t errors;
    } cases[] = {
        {"first attempt succeeds", 0, 1, 0},
        {"retry succeeds", 1, 2, 0},
        {"both fail", 5, 2, 1},
    };
    for (const auto& c : cases) {
        Start();
        dirs.WriteFirmware("tessan_cable.hex", "CPOD_TSN_R3.1");
        if (c.failures)
            sim->AddFault(StatusFault(kUpdateCable, 2, c.failures));
        ASSERT_TRUE(tarvik->comms()->OpenSocket());
        tarvik->UpdateActiveCableFirmware(CT_MAC);
        EXPECT_TRUE(tarvik->comms()->IsSocketOpen()) << "left as it was found";
        tarvik->comms()->CloseSocket();

        const auto requests = sim->Requests();
        ASSERT_EQ(requests.size(), c.commands) << c.name;
        const std::string path = dirs.software.path() + "\\tessan_cable.hex";
        for (const auto& r : requests) {
            EXPECT_EQ(r.code, kUpdateCable);
            EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), path + '\0') << c.name;
            EXPECT_EQ(r.room, path.size() + 1);
        }
        EXPECT_EQ(log.ErrorCount(), c.errors) << c.name;
        EXPECT_EQ(log.CountText("*** Retry of Active Cable Firmware Update.  ***"),
                  c.commands == 2 ? 1 : 0);
        EXPECT_EQ(log.CountText("Update Active Cable (Type: 4) Firmware: " + path), 1);
        EXPECT_EQ(log.CountText(c.failures ? "Active Cable Firmware update result: 2"
                                           : "Active Cable Firmware update result: 0"),
                  1);
        if (c.commands == 2) {
            EXPECT_EQ(log.CountText(c.errors ? "Active Cable Firmware Update result: 2"
                                             : "Active Cable Firmware Update result: 0"),
                      1);
        }
        EXPECT_EQ(sim->State().cable_version, c.errors ? "CPOD_TSN_R2.4" : "CPOD_TSN_R3.1")
            << c.name;
        log.Clear();
        sim.reset();
    }
}

TEST_F(TarvikUpdateTest, ActiveCableFirmwareWithAnotherCodeTypeOnlyReports) {
    Start();
    ASSERT_TRUE(tarvik->comms()->OpenSocket());
    const auto start = std::chrono::steady_clock::now();
    tarvik->UpdateActiveCableFirmware(CT_LC);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400))
        << "no pause";
    EXPECT_EQ(log.Texts("RT_COMMS_E"),
              std::vector<std::string>{
                  "CTarvikUtils::UpdateActiveCableFirmware - Incorrect CodeType (0)."});
    EXPECT_EQ(sim->RequestCount(), 0u);
    EXPECT_EQ(log.ErrorCount(), 0u);
}

TEST_F(TarvikUpdateTest, SerialNumberTextSendsAtMost127CharactersInA128ByteBuffer) {
    Start();
    tarvik->SendSerialNumberText(std::string(200, 'S').c_str());
    EXPECT_EQ(sim->RequestCount(), 0u) << "nothing is sent without an open connection";
    ASSERT_TRUE(tarvik->comms()->OpenSocket());
    tarvik->SendSerialNumberText(std::string(200, 'S').c_str());
    tarvik->SendSerialNumberText("ZEL-NEW");
    const auto requests = sim->Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.code, kSerialText);
        EXPECT_EQ(r.room, 128u);
        ASSERT_EQ(r.payload.size(), 128u);
    }
    EXPECT_EQ(std::string(requests[0].payload.begin(), requests[0].payload.begin() + 128),
              std::string(127, 'S') + '\0');
    EXPECT_EQ(sim->State().pc_serial_text, "ZEL-NEW");
}

TEST_F(TarvikUpdateTest, CustomCpldSettingAndDetection) {
    Start();
    EXPECT_FALSE(tarvik->DeviceHasCustomCPLD()) << "before any read";
    EXPECT_EQ(GetValueStore().count("Tarvik_CPLD_Release_Untrimmed"), 1u)
        << "the look-up entered the key";
    const struct {
        const char* value;
        bool custom;
    } cases[] = {
        {"R3", true},       {"STANDARD CORVEL CPLD", false}, {"Standard Corvel CPLD", true},
        {"Unknown", false}, {"NotConnected", false},         {"", false}};
    for (const auto& c : cases) {
        GetValueStore()["Tarvik_CPLD_Release_Untrimmed"] = c.value;
        EXPECT_EQ(tarvik->DeviceHasCustomCPLD(), c.custom) << c.value;
    }
    EXPECT_STREQ(tarvik->GetCustomCPLDFileName(), "");
    tarvik->SetCustomCPLDFileName("my_cpld.jed");
    EXPECT_STREQ(tarvik->GetCustomCPLDFileName(), "my_cpld.jed");
}

TEST_F(TarvikUpdateTest, NamesAndKeysPerCodeType) {
    Start();
    EXPECT_STREQ(tarvik->GetReleaseKey(CT_BOOTSTRAP), "Tarvik_Bootstrap_Release");
    EXPECT_STREQ(tarvik->GetUntrimmedReleaseKey(CT_R318), "Tarvik_R318_Firmware_Release_Untrimmed");
    EXPECT_STREQ(tarvik->GetFilename(CT_CPLD, true), "tarvik_cpld.bin");
    EXPECT_STREQ(tarvik->GetActiveCableFilename(CT_R318), "r318_cable.hex");
    EXPECT_EQ(log.ErrorCount(), 0u);
    EXPECT_STREQ(tarvik->GetReleaseKey(static_cast<CODETYPE>(6)), "");
    EXPECT_STREQ(tarvik->GetUntrimmedReleaseKey(static_cast<CODETYPE>(-1)), "");
    EXPECT_EQ(log.ErrorCount(), 2u);
    for (int type = 0; type < 6; ++type)
        EXPECT_TRUE(tarvik->IsCodeTypeSupported(CODETYPE(type)));
    EXPECT_FALSE(tarvik->IsCodeTypeSupported(CODETYPE(6)));

    EXPECT_FALSE(tarvik->LCFileExists());
    dirs.WriteFirmware("tarvik_lc.load", "CPOD_LC_R1");
    EXPECT_TRUE(tarvik->LCFileExists());

    const struct {
        const char* raw;
        bool trimmed;
        const char* out;
    } trims[] = {{"CPOD_ABC_R1.2.3", true, "R1.2.3"},
                 {"CPOD_ABC_ER4.5", true, "ER4.5"},
                 {"CPOD_ABC_X7", false, "CPOD_ABC_X7"},
                 {"LC_R1", false, "LC_R1"},
                 {"CPOD_R", true, "R"},
                 {"x_CPOD__R9", true, "R9"},
                 {"CPOD_A_R", true, "R"}};
    for (const auto& t : trims) {
        CString out;
        EXPECT_EQ(tarvik->TrimReleaseId(t.raw, out), t.trimmed) << t.raw;
        EXPECT_STREQ(out, t.out) << t.raw;
    }
}

}  // namespace
