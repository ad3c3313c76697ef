// The measurement module and the second-generation family.
#include <chrono>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "tests/support/attributes.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/sollumutils.h"
#include "zodaruruvizi/devices/tarvikiiutils.h"

namespace {

using gwsim::DeviceState;
using gwsim::Family;
using zrtest::StatusFault;

class OpenSollum : public CSollumUtils {
public:
    using CSollumUtils::CSollumUtils;
    CGatewayComms* comms() { return m_pGatewayComms; }
};

class SollumTest : public zrtest::DeviceTest {
protected:
    void Start(const DeviceState& state = DeviceState::Default(Family::MIR)) {
        StartDevice(state);
        sollum.reset(new OpenSollum(new CGatewayComms(9181)));
        sollum->SetIPAddress(DeviceAddress());
    }
    std::unique_ptr<OpenSollum> sollum;
};

TEST_F(SollumTest, ReadTrimsReleasesAndStoresFiveKeys) {
    DeviceState state = DeviceState::Default(Family::MIR);
    state.lc_release = "MIR Release 3.4";
    state.prom_release = "Release1.2";
    state.serial_number = "SN Release 7";
    Start(state);
    ASSERT_TRUE(sollum->GetReleaseIds(true, false));
    EXPECT_EQ(Stored("Sollum_Release"), "R3.4");
    EXPECT_EQ(Stored("Sollum_Release_Untrimmed"), "MIR Release 3.4");
    EXPECT_EQ(Stored("Sollum_PROM_Release"), "Release1.2");
    EXPECT_EQ(Stored("Sollum_PROM_Release_Untrimmed"), "Release1.2");
    EXPECT_EQ(Stored("Sollum_SerialNum"), "R7") << "the serial number is offered for trimming";
    const auto requests = sim->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].code, 2u);
    EXPECT_EQ(requests[1].code, 3u);
    EXPECT_EQ(requests[2].code, 1u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.kind, 0x11);
        EXPECT_EQ(r.room, 128u);
    }
}

TEST_F(SollumTest, OutcomeTable) {
    const struct {
        const char* name;
        bool connected;
        bool locked;
        bool lcFails;
        bool result;
        const char* value;
        size_t requests;
    } cases[] = {
        {"locked", true, true, false, true, "Unknown", 0},
        {"not connected", false, false, false, false, "NotConnected", 0},
        {"LC query fails", true, false, true, false, "Unknown", 1},
    };
    for (const auto& c : cases) {
        Start();
        if (c.lcFails)
            sim->AddFault(StatusFault(2, 0x0000FFFF));
        EXPECT_EQ(sollum->GetReleaseIds(c.connected, c.locked), c.result) << c.name;
        for (const char* key : zrtest::SollumAttributes())
            EXPECT_EQ(Stored(key), c.value) << c.name << key;
        EXPECT_EQ(sim->RequestCount(), c.requests) << c.name;
        sim.reset();
    }
}

TEST_F(SollumTest, ReleaseTextsAndTheirShortForms) {
    const struct {
        std::string lc;
        const char* trimmed;
        const char* untrimmed;
    } cases[] = {
        {"MIR Release 3.4", "R3.4", "MIR Release 3.4"},
        {"3.4", "3.4", "3.4"},
        {"Release3.4", "Release3.4", "Release3.4"},
        {"Module Release ", "R", "Module Release"},
        {"   ", "Unknown", "Unknown"},
        {std::string(128, 'x'), "Unknown", "Unknown"},
        {"release 2.0", "release 2.0", "release 2.0"},
    };
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::MIR);
        state.lc_release = c.lc;
        Start(state);
        ASSERT_TRUE(sollum->GetReleaseIds(true, false)) << c.lc;
        EXPECT_EQ(Stored("Sollum_Release"), c.trimmed) << "'" << c.lc << "'";
        EXPECT_EQ(Stored("Sollum_Release_Untrimmed"), c.untrimmed) << "'" << c.lc << "'";
        sim.reset();
    }
}

TEST_F(SollumTest, LcUpdateStagesAndResets) {
    DeviceState state = DeviceState::Default(Family::MIR);
    state.lc_release = "MIR Release 3.4";
    Start(state);
    dirs.WriteFirmware("sollum_lc.bin", "MIR Release 3.9");
    EXPECT_TRUE(sollum->UpdateLC());
    ASSERT_TRUE(sim->WaitForResets(1, std::chrono::seconds(5)));
    const auto requests = sim->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, 0x12);
    EXPECT_EQ(requests[0].code, 0x1000000u);
    EXPECT_EQ(sim->State().lc_release, "MIR Release 3.9");
    EXPECT_FALSE(dirs.software.Exists("sollum_lc.load"));
    EXPECT_FALSE(sollum->comms()->IsSocketOpen());
}

TEST_F(SollumTest, PromUpdateSendsThePathCutTo127Characters) {
    const struct {
        std::string softwareDir;  // relative to the test's software directory
        bool cut;
    } cases[] = {{"", false}, {std::string(160, 'd'), true}};
    for (const auto& c : cases) {
        Start();
        std::string dir = dirs.software.path();
        std::unique_ptr<zrtest::ScopedEnv> env;
        if (!c.softwareDir.empty()) {
            dir = dirs.software.File(c.softwareDir);
            std::filesystem::create_directory(dir);
            env.reset(new zrtest::ScopedEnv("GATEWAY_SOFTWARE_DIR", dir.c_str()));
        }
        std::ofstream(dir + "/sollum_prom.bin") << "@(#)RELEASE=MIR Release 1.8";
        const bool result = sollum->UpdatePROM();
        const auto requests = sim->Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].code, 9u);
        EXPECT_EQ(requests[0].room, 128u);
        ASSERT_EQ(requests[0].payload.size(), 128u);
        const std::string full = dir + "\\sollum_prom.bin";
        const std::string sent(reinterpret_cast<const char*>(requests[0].payload.data()));
        if (c.cut) {
            EXPECT_EQ(sent, full.substr(0, 127));
            EXPECT_FALSE(result) << "the module cannot read a cut path";
            EXPECT_EQ(sim->State().prom_release, "MIR Release 1.2");
        } else {
            EXPECT_EQ(sent, full);
            EXPECT_TRUE(result);
            EXPECT_EQ(sim->State().prom_release, "MIR Release 1.8");
        }
        EXPECT_FALSE(sollum->comms()->IsSocketOpen()) << "opened and closed around the exchange";
        sim.reset();
    }
}

TEST_F(SollumTest, KeysNamesAndSupport) {
    Start();
    EXPECT_TRUE(sollum->IsCodeTypeSupported(CT_LC));
    EXPECT_TRUE(sollum->IsCodeTypeSupported(CT_PROM));
    for (CODETYPE t : {CT_BOOTSTRAP, CT_CPLD, CT_MAC, CT_R318}) {
        EXPECT_FALSE(sollum->IsCodeTypeSupported(t));
    }
    EXPECT_STREQ(sollum->GetReleaseKey(CT_PROM), "Sollum_PROM_Release");
    EXPECT_STREQ(sollum->GetUntrimmedReleaseKey(CT_LC), "Sollum_Release_Untrimmed");
    EXPECT_EQ(log.ErrorCount(), 0u);
    EXPECT_STREQ(sollum->GetReleaseKey(CT_CPLD), "Sollum_Release");
    EXPECT_EQ(log.ErrorCount(), 1u);
    EXPECT_STREQ(sollum->GetFilename(CT_LC, false), "sollum_lc.load");
    EXPECT_TRUE(sollum->RenameFile(CT_PROM, false));
    EXPECT_FALSE(dirs.software.Exists("sollum_prom.load")) << "no file is touched for the PROM";
    EXPECT_FALSE(sollum->LCFileExists());
    dirs.WriteFirmware("sollum_lc.load", "x");
    EXPECT_TRUE(sollum->LCFileExists());
    EXPECT_STREQ(sollum->GetActiveCableFilename(CT_MAC), "");
    EXPECT_FALSE(sollum->UpdateActiveCable(CT_MAC));
    EXPECT_TRUE(sollum->UpdateBootstrap());
    EXPECT_FALSE(sollum->DeviceHasCustomCPLD());
}

TEST(TarvikIITest, FixedResultsLeaveTheStoreAlone) {
    GetValueStore().clear();
    GetValueStore()["Tarvik_Release"] = "R9";
    CTarvikIIUtils utils;
    for (bool connected : {false, true}) {
        for (bool locked : {false, true})
            EXPECT_TRUE(utils.GetReleaseIds(connected, locked));
    }
    EXPECT_EQ(GetValueStore().size(), 1u);
    CString value;
    utils.ReadStoredValue("Tarvik_Release", value);
    EXPECT_STREQ(value, "R9");
    utils.ReadStoredValue("Never_Written", value);
    EXPECT_STREQ(value, "Unknown");
    utils.SetIPAddress(0x0100007F);
    EXPECT_EQ(utils.GetIPAddress(), 0u);
    EXPECT_STREQ(utils.GetFilename(CT_LC, true), "");
    EXPECT_FALSE(utils.FileExists(utils.GetFilename(CT_LC, false)));
    EXPECT_TRUE(utils.IsCodeTypeSupported(CT_R318));
    EXPECT_TRUE(utils.IsCodeTypeSupported(static_cast<CODETYPE>(42)));
    CString version("kept");
    EXPECT_TRUE(utils.GetVersionFromFile("any", version));
    EXPECT_STREQ(version, "kept");
    CString shortForm("kept");
    EXPECT_TRUE(utils.TrimReleaseId("CPOD_A_R1", shortForm));
    EXPECT_STREQ(shortForm, "kept");
    EXPECT_TRUE(utils.RenameFile(CT_LC, false));
    EXPECT_TRUE(utils.UpdateLC());
    EXPECT_FALSE(utils.UpdateActiveCable(CT_MAC));
    GetValueStore().clear();
}

}  // namespace
