// Updating a device, its active cable, and the serial-number text, against
// the simulated device over loopback.
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace {

using zrtest::DeviceState;
using zrtest::Family;
using zrtest::seconds;
using zrtest::StatusFault;

const uint32_t kUpdateCable = 0x400;

using UpdateTest = zrtest::DeviceTest;

TEST_F(UpdateTest, EachUpdateStagesItsFilesAndResetsTheDevice) {
    const struct {
        std::function<bool(CZodarurUvizi&)> update;
        const char* changed;  // besides the LC: "PROM", "BOOT", "CPLD", "TSN" or ""
        const char* staged;   // staged besides the LC's
    } cases[] = {
        {[](CZodarurUvizi& t) { return t.UpdateLC(); }, "", nullptr},
        {[](CZodarurUvizi& t) { return t.UpdatePROM(); }, "PROM", "tarvik_prom.load"},
        {[](CZodarurUvizi& t) { return t.UpdateBootstrap(); }, "BOOT", "tarvik_bootstrap.load"},
        {[](CZodarurUvizi& t) { return t.UpdateCPLD(); }, "CPLD", "tarvik_cpld.load"},
        {[](CZodarurUvizi& t) { return t.UpdateActiveCable(CT_MAC); }, "TSN", "tarvik_mac.load"}};
    for (const auto& c : cases) {
        DeviceState state = DeviceState::Default(Family::ZEL);
        state.lc_release = "CPOD_LC_R1.0";
        state.prom_release = "CPOD_PROM_R1.0";
        state.bootstrap_release = "CPOD_BOOT_R1.0";
        state.cable_version = "CPOD_TSN_R1.0";
        Start(state);
        for (const std::string f :
             {"lc=CPOD_LC_R3.0", "prom=CPOD_PROM_R3.0", "bootstrap=CPOD_BOOT_R3.0",
              "cpld=CUSTOM CPLD REV 7", "mac=CPOD_TSN_R3.0"})
            dirs.WriteFirmware("tarvik_" + f.substr(0, f.find('=')) + ".bin",
                               f.substr(f.find('=') + 1));
        const std::string changed = c.changed;
        EXPECT_TRUE(c.update(*dev)) << changed;
        ASSERT_TRUE(sim->WaitForResets(1, seconds(5))) << changed;
        EXPECT_EQ(Codes(), "1:400000/1 2:80000000/0") << changed;
        EXPECT_FALSE(comms->IsSocketOpen());
        // The device took exactly the staged images and consumed them.
        const DeviceState a = sim->State();
        EXPECT_EQ(a.lc_release + " " + a.prom_release + " " + a.bootstrap_release + " " +
                      a.cable_version + " " + std::to_string(a.cpld_custom) + "/" +
                      std::to_string(a.cpld_revision),
                  std::string("CPOD_LC_R3.0 ") +
                      (changed == "PROM" ? "CPOD_PROM_R3.0 " : "CPOD_PROM_R1.0 ") +
                      (changed == "BOOT" ? "CPOD_BOOT_R3.0 " : "CPOD_BOOT_R1.0 ") +
                      (changed == "TSN" ? "CPOD_TSN_R3.0 " : "CPOD_TSN_R1.0 ") +
                      (changed == "CPLD" ? "1/7" : "0/0"));
        EXPECT_FALSE(dirs.software.Exists("tarvik_lc.load"));
        EXPECT_FALSE(c.staged && dirs.software.Exists(c.staged));
        EXPECT_TRUE(dirs.software.Exists("tarvik_lc.bin")) << "shipped images are kept";
    }

    // The measurement module: its LC is staged and the module reset.
    DeviceState mir = DeviceState::Default(Family::MIR);
    mir.lc_release = "MIR Release 3.4";
    Start(mir);
    dirs.WriteFirmware("sollum_lc.bin", "MIR Release 3.9");
    EXPECT_TRUE(dev->UpdateLC());
    ASSERT_TRUE(sim->WaitForResets(1, seconds(5)));
    EXPECT_EQ(Codes(), "12:1000000/0");
    EXPECT_EQ(sim->State().lc_release, "MIR Release 3.9");
    EXPECT_FALSE(dirs.software.Exists("sollum_lc.load"));
    EXPECT_FALSE(comms->IsSocketOpen());
}

TEST_F(UpdateTest, AnUnreachableDeviceStillReportsSuccessAndClosesTheSocket) {
    zrtest::AddressHole hole;
    CGatewayComms* transport = new CGatewayComms(9191);
    CTarvikUtils unreachable(transport);
    unreachable.SetIPAddress(inet_addr(hole.address().c_str()));
    dirs.WriteFirmware("tarvik_lc.bin", "CPOD_LC_R3.0");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(unreachable.UpdateLC());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(elapsed >= seconds(4) && elapsed <= seconds(8));  // five connection waits
    EXPECT_FALSE(transport->IsSocketOpen());
    EXPECT_TRUE(dirs.software.Exists("tarvik_lc.load")) << "staged for the next reset";
}

TEST_F(UpdateTest, ActiveCableFirmwareSendsThePathAndRetriesOnce) {
    const struct {
        int failures;  // answers with a non-zero status before a good one
        size_t commands, errors;
    } cases[] = {{0, 1, 0}, {1, 2, 0}, {5, 2, 1}};
    const auto R = [](size_t failed) { return std::string(failed ? "2" : "0"); };
    for (const auto& c : cases) {
        Start();
        dirs.WriteFirmware("tessan_cable.hex", "CPOD_TSN_R3.1");
        if (c.failures)
            sim->AddFault(StatusFault(kUpdateCable, 2, c.failures));
        ASSERT_TRUE(comms->OpenSocket());
        log.Clear();
        dev->UpdateActiveCableFirmware(CT_MAC);
        EXPECT_TRUE(comms->IsSocketOpen()) << "left as it was found";
        comms->CloseSocket();
        const auto requests = sim->Requests();
        ASSERT_EQ(requests.size(), c.commands) << c.failures;
        const std::string path = dirs.software.path() + "\\tessan_cable.hex";
        for (const auto& r : requests) {
            EXPECT_EQ(r.code, kUpdateCable);
            EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), path + '\0');
            EXPECT_EQ(r.room, path.size() + 1);
        }
        const bool retried = c.commands == 2;
        EXPECT_EQ(log.ErrorCount(), c.errors) << c.failures;
        std::vector<std::string> lines = {"Update Active Cable (Type: 4) Firmware: " + path,
                                          "Active Cable Firmware update result: " + R(c.failures)};
        if (retried)
            lines.insert(lines.end(), {"*** Retry of Active Cable Firmware Update.  ***",
                                       "Active Cable Firmware Update result: " + R(c.errors)});
        EXPECT_EQ(log.Texts("RT_COMMS_I"), lines);
        EXPECT_EQ(sim->State().cable_version, c.errors ? "CPOD_TSN_R2.4" : "CPOD_TSN_R3.1");
    }

    // Another code type only reports, at once.
    Start();
    ASSERT_TRUE(comms->OpenSocket());
    log.Clear();
    const auto start = std::chrono::steady_clock::now();
    dev->UpdateActiveCableFirmware(CT_LC);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_EQ(log.Texts("RT_COMMS_E"),
              std::vector<std::string>{
                  "CTarvikUtils::UpdateActiveCableFirmware - Incorrect CodeType (0)."});
    EXPECT_EQ(sim->RequestCount(), 0u);
    EXPECT_EQ(log.ErrorCount(), 0u);
}

TEST_F(UpdateTest, SerialNumberTextSendsAtMost127CharactersInA128ByteBuffer) {
    Start();
    dev->SendSerialNumberText(std::string(200, 'S').c_str());
    EXPECT_EQ(sim->RequestCount(), 0u) << "nothing is sent without an open connection";
    ASSERT_TRUE(comms->OpenSocket());
    dev->SendSerialNumberText(std::string(200, 'S').c_str());
    dev->SendSerialNumberText("ZEL-NEW");
    EXPECT_EQ(Codes(), "1:8000/128 1:8000/128");
    const auto requests = sim->Requests();
    ASSERT_EQ(requests[1].payload.size(), 128u);
    EXPECT_EQ(std::string(requests[0].payload.begin(), requests[0].payload.end()),
              std::string(127, 'S') + '\0');
    EXPECT_EQ(sim->State().pc_serial_text, "ZEL-NEW");
}

TEST_F(UpdateTest, PromUpdateOfTheMeasurementModuleSendsThePathCutTo127Characters) {
    for (const bool cut : {false, true}) {
        Start(DeviceState::Default(Family::MIR));
        std::string dir = dirs.software.path();
        std::unique_ptr<zrtest::ScopedEnv> env;
        if (cut) {
            dir = dirs.software.File(std::string(160, 'd'));
            std::filesystem::create_directory(dir);
            env.reset(new zrtest::ScopedEnv("GATEWAY_SOFTWARE_DIR", dir.c_str()));
        }
        std::ofstream(dir + "/sollum_prom.bin") << "@(#)RELEASE=MIR Release 1.8";
        EXPECT_EQ(dev->UpdatePROM(), !cut) << "the module cannot read a cut path";
        ASSERT_EQ(Codes(), "11:9/128");
        const auto requests = sim->Requests();
        ASSERT_EQ(requests[0].payload.size(), 128u);
        const std::string full = dir + "\\sollum_prom.bin";
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(requests[0].payload.data())),
                  full.substr(0, cut ? 127 : full.size()));
        EXPECT_EQ(sim->State().prom_release, cut ? "MIR Release 1.2" : "MIR Release 1.8");
        EXPECT_FALSE(comms->IsSocketOpen()) << "opened and closed around the exchange";
    }
}

}  // namespace
