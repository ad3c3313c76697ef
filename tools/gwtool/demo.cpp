// gwtool demo: simulated devices of both TCP families on loopback, firmware
// newer than theirs in a temporary software directory, and the check, update,
// wait and verify cycle until every component is "Same".
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/gwsim/simulator.h"
#include "tools/gwtool/commands.h"
#include "tools/gwtool/report.h"

namespace fs = std::filesystem;

namespace gwtool {

namespace {

const int kAddressAttempts = 512;

struct FirmwareFile {
    const char* name;
    const char* release;
};

// The PC's firmware: every release newer than the simulated devices' below.
// The active-cable firmware ships twice with one release: the hex file that
// the check reads and the image that the update stages.
const FirmwareFile kFirmware[] = {
    {"tarvik_lc.bin", "CPOD_LC_R2.11.0"},         {"tarvik_prom.bin", "CPOD_PROM_R1.5.0"},
    {"tarvik_bootstrap.bin", "CPOD_BOOT_R1.1.0"}, {"tarvik_cpld.bin", "CPOD_CPLD_STANDARD_R1"},
    {"tessan_cable.hex", "CPOD_TSN_R2.5"},        {"tarvik_mac.bin", "CPOD_TSN_R2.5"},
    {"r318_cable.hex", "CPOD_R318_R1.7"},         {"tarvik_r318.bin", "CPOD_R318_R1.7"},
    {"sollum_lc.bin", "MIR Release 3.5"},         {"sollum_prom.bin", "MIR Release 1.3"},
};

gwsim::DeviceState DemoDevice(gwsim::Family family) {
    gwsim::DeviceState state = gwsim::DeviceState::Default(family);
    if (family == gwsim::Family::ZEL) {
        state.lc_release = "CPOD_LC_R2.10.3";
        state.prom_release = "CPOD_PROM_R1.4.0";
        state.bootstrap_release = "CPOD_BOOT_R1.0.2";
        state.cpld_custom = false;
        state.cable = gwsim::CableType::Mac;
        state.cable_version = "CPOD_TSN_R2.4";
    } else {
        state.lc_release = "MIR Release 3.4";
        state.prom_release = "MIR Release 1.2";
    }
    state.reboot_ms = 0;
    return state;
}

void WriteFirmware(const fs::path& path, const std::string& release) {
    std::ofstream out(path, std::ios::binary);
    const std::string head(
        "\x7f"
        "FW\0\x01\x02\x03 image header ",
        21);
    out << head << "@(#)RELEASE=" << release << std::string("\0\0image body\n", 13);
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

// A temporary directory of its own, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "gwtool-demo-%08x", random());
            fs::path candidate = fs::temp_directory_path() / name;
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
                path_ = candidate;
                return;
            }
        }
        throw std::runtime_error("cannot create a temporary directory in " +
                                 fs::temp_directory_path().string());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Starts a simulator on a free loopback address: tries 127.a.b.c addresses from
// a random starting point until one binds the family's port.
std::unique_ptr<gwsim::Simulator> StartOnFreeAddress(const gwsim::DeviceState& state,
                                                     const std::string& software_dir) {
    std::random_device random;
    unsigned n = random() % (254u * 254u * 254u);
    std::string last_error;
    for (int attempt = 0; attempt < kAddressAttempts; ++attempt, ++n) {
        const unsigned index = n % (254u * 254u * 254u);
        const std::string address = "127." + std::to_string(1 + index / (254 * 254)) + "." +
                                    std::to_string(1 + index / 254 % 254) + "." +
                                    std::to_string(1 + index % 254);
        gwsim::Options options;
        options.bind_address = address;
        options.software_dir = software_dir;
        options.log = [](const std::string&) {};
        auto sim = std::make_unique<gwsim::Simulator>(state, options);
        if (sim->Start(&last_error))
            return sim;
    }
    throw std::runtime_error("no free loopback address for a simulated " +
                             std::string(gwsim::FamilyName(state.family)) +
                             " device: " + last_error);
}

// Checks and updates one device until every component is Same.
int RunDevice(const Options& options, Console& console, gwsim::Simulator& sim,
              nlohmann::json& device_doc) {
    const std::string family = gwsim::FamilyName(sim.family());
    // Kept alive after a Ctrl-C: the library may still use it until the process ends.
    std::unique_ptr<Gateway> owner(new Gateway(family));
    Gateway& gateway = *owner;
    gateway.SetAddress(sim.address(), ParseIPv4(sim.address(), "address"));
    device_doc["family"] = family;
    device_doc["address"] = sim.address();
    device_doc["updates"] = nlohmann::json::array();

    console.Out("\n== Simulated " + family + " device at " + sim.address() + " ==\n\n" +
                "-- check\n");
    CheckReport report = gateway.Check(true);
    device_doc["initial"] = CheckJson(report);
    console.Out(CheckText(report));
    if (!report.reachable) {
        device_doc["error"] = {{"message", report.unreachable_reason},
                               {"exit_code", kExitUnreachable}};
        console.Note("gwtool demo: " + report.unreachable_reason + "\n");
        return kExitUnreachable;
    }

    nlohmann::json updates = nlohmann::json::array();
    const int code =
        UpdateUntilSame(gateway, console, report, options.reboot_timeout_s, updates, &report);
    device_doc["updates"] = updates;
    if (code == kExitInterrupted)
        static_cast<void>(owner.release());
    if (code != kExitOk)
        return code;
    device_doc["final"] = CheckJson(report);
    console.Out("\nEvery component of the " + family + " device is Same.\n");
    return kExitOk;
}

}  // namespace

int RunDemo(const Options& options, Console& console, nlohmann::json& doc) {
    TempDir root;
    const fs::path software = root.path() / "software";
    const fs::path logs = root.path() / "logs";
    fs::create_directories(software);
    fs::create_directories(logs);
    for (const FirmwareFile& file : kFirmware)
        WriteFirmware(software / file.name, file.release);
    SetProcessEnvironment("GATEWAY_SOFTWARE_DIR", software.string());
    SetProcessEnvironment("GATEWAY_LOG_DIR", logs.string());

    doc["software_dir"] = software.string();
    doc["log_dir"] = logs.string();
    console.Out("gwtool demo: firmware in " + software.string() + ", logs in " + logs.string() +
                "\n");

    std::vector<std::unique_ptr<gwsim::Simulator>> sims;
    for (gwsim::Family family : {gwsim::Family::ZEL, gwsim::Family::MIR}) {
        sims.push_back(StartOnFreeAddress(DemoDevice(family), software.string()));
    }

    MonitorRoute route(console);
    int exit_code = kExitOk;
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& sim : sims) {
        nlohmann::json device_doc;
        exit_code = RunDevice(options, console, *sim, device_doc);
        devices.push_back(device_doc);
        if (exit_code != kExitOk)
            break;
    }
    doc["devices"] = devices;
    doc["outcome"] = exit_code == kExitOk ? "every component Same" : "stopped";
    for (const auto& sim : sims)
        sim->Stop();
    if (exit_code == kExitOk) {
        console.Out(
            "\ngwtool demo: done; every simulated device runs the PC's firmware. "
            "Temporary files removed.\n");
    }
    return exit_code;
}

}  // namespace gwtool
