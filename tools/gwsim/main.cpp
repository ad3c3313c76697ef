// gwsim: run a simulated gateway device until SIGINT or SIGTERM; or a proxy
// in front of a real device that records the session (--proxy, --record); or
// a replay of a recorded session (--replay).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/gwsim/proxy.h"
#include "tools/gwsim/recording.h"
#include "tools/gwsim/replay.h"
#include "tools/gwsim/simulator.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnSignal(int) {
    g_stop = 1;
}

int Fail(const std::string& message) {
    std::cerr << "gwsim: " << message << std::endl;
    return 2;
}

void WaitForSignal() {
    // Poll the flag set by the signal handler; the servers run on their own threads.
    std::mutex mu;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lk(mu);
    while (!g_stop)
        cv.wait_for(lk, std::chrono::milliseconds(100));
}

int RunProxy(const gwsim::ProxyOptions& options) {
    gwsim::Proxy proxy(options);
    std::string error;
    if (!proxy.Start(&error)) {
        std::cerr << "gwsim: " << error << std::endl;
        return 1;
    }
    std::fprintf(
        stdout, "gwsim: %s proxy listening on %s:%u for the device at %s:%u%s%s\n",
        gwsim::FamilyName(options.family), options.bind_address.c_str(), unsigned(proxy.port()),
        options.device_address.c_str(),
        unsigned(options.device_port ? options.device_port : gwsim::DefaultPort(options.family)),
        options.record_path.empty() ? "" : ", recording to ", options.record_path.c_str());
    std::fflush(stdout);
    WaitForSignal();
    proxy.Stop();
    std::fprintf(stdout, "gwsim: proxy stopped after %zu connection(s), %zu request(s) recorded\n",
                 proxy.ConnectionCount(), proxy.RequestCount());
    std::fflush(stdout);
    if (!proxy.RecordingHealthy(&error))
        return Fail(options.record_path + ": " + error);
    return 0;
}

int RunReplay(const std::string& path, const std::string& family_text,
              const gwsim::ReplayOptions& options) {
    gwsim::Session session;
    std::string error;
    std::vector<std::string> warnings;
    if (!gwsim::LoadSession(path, &session, &error, &warnings))
        return Fail(error);
    for (const std::string& w : warnings)
        std::cerr << "gwsim: warning: " << w << std::endl;
    gwsim::Family family;
    if (!family_text.empty()) {
        if (!gwsim::ParseFamily(family_text, &family))
            return Fail("--family must be ZEL or MIR, not \"" + family_text + "\"");
        if (family != session.family)
            return Fail(path + " is a session of a " + gwsim::FamilyName(session.family) +
                        " device, not " + gwsim::FamilyName(family));
    }
    gwsim::Replayer replayer(session, options);
    if (!replayer.Start(&error)) {
        std::cerr << "gwsim: " << error << std::endl;
        return 1;
    }
    std::fprintf(stdout, "gwsim: replaying %s (%s device, %zu exchange(s)) on %s:%u%s\n",
                 path.c_str(), gwsim::FamilyName(session.family), session.exchanges.size(),
                 options.bind_address.c_str(), unsigned(replayer.port()),
                 options.timing ? "" : ", without timing");
    std::fflush(stdout);
    WaitForSignal();
    replayer.Stop();
    std::vector<gwsim::RecordedRequest> unmatched = replayer.Unmatched();
    std::fprintf(stdout,
                 "gwsim: replay stopped after %zu connection(s), %zu request(s), %zu without a "
                 "recorded answer\n",
                 replayer.ConnectionCount(), replayer.RequestCount(), unmatched.size());
    for (const gwsim::RecordedRequest& r : unmatched)
        std::fprintf(stdout, "gwsim:   not in the recording: %s\n",
                     gwsim::DescribeRequest(r).c_str());
    std::fflush(stdout);
    return unmatched.empty() ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulated gateway device (ZEL first-generation device or MIR measurement module)"};
    std::string family_text;
    std::string bind_address;
    uint16_t port = 0;
    std::string state_file;
    std::string save_state_file;
    std::string software_dir;
    int64_t reboot_ms = -1;
    std::vector<std::string> fault_specs;
    std::string connection_fault_text = "none";
    bool verbose = false;
    std::string proxy_address;
    uint16_t device_port = 0;
    std::string record_file;
    std::string replay_file;
    bool no_timing = false;
    std::string lc, prom, bootstrap, cpld, cable, cable_version, serial, mac, usb_mac;

    app.add_option("--family", family_text,
                   "Device family: ZEL or MIR (with --replay: taken from the recording)");
    app.add_option("--bind", bind_address, "Loopback address to listen on, e.g. 127.0.0.2")
        ->required();
    app.add_option("--port", port, "TCP port (default: 9191 for ZEL, 9181 for MIR)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--state", state_file, "Device state as JSON (see README.md)");
    app.add_option("--save-state", save_state_file, "Write the device state here on exit");
    app.add_option("--software-dir", software_dir,
                   "Software directory (default: $GATEWAY_SOFTWARE_DIR)");
    app.add_option("--reboot-ms", reboot_ms, "How long a reset keeps connections refused")
        ->check(CLI::Range(int64_t(0), int64_t(3600000)));
    app.add_option("--fault", fault_specs,
                   "Request fault KIND[:key=value,...], e.g. status:code=0x20000000,status=5")
        ->take_all();
    app.add_option("--connection-fault", connection_fault_text,
                   "Connection fault: none, refuse or hang");
    app.add_flag("--verbose,-v", verbose, "Print requests, replies and events");
    auto* proxy_opt =
        app.add_option("--proxy", proxy_address,
                       "Relay to the real device at this address instead of simulating one");
    app.add_option("--device-port", device_port,
                   "--proxy: the device's TCP port (default: the family's)")
        ->check(CLI::Range(1, 65535))
        ->needs(proxy_opt);
    app.add_option("--record", record_file, "--proxy: record the session in this file (JSON lines)")
        ->needs(proxy_opt);
    auto* replay_opt =
        app.add_option("--replay", replay_file, "Answer as the recorded session in this file does")
            ->excludes(proxy_opt);
    app.add_flag("--no-timing", no_timing, "--replay: answer at once, without the recorded gaps")
        ->needs(replay_opt);
    app.add_option("--lc", lc, "LC release text");
    app.add_option("--prom", prom, "PROM release text");
    app.add_option("--bootstrap", bootstrap, "Bootstrap release text (ZEL)");
    app.add_option("--cpld", cpld, "CPLD: standard, or the custom revision number (ZEL)");
    app.add_option("--cable", cable, "Attached active cable: none, mac or r318 (ZEL)");
    app.add_option("--cable-version", cable_version, "Active-cable version text (ZEL)");
    app.add_option("--serial", serial, "Serial number text");
    app.add_option("--mac", mac, "Network MAC address text (ZEL)");
    app.add_option("--usb-mac", usb_mac, "USB MAC address text (ZEL)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    bool simulates = !state_file.empty() || !save_state_file.empty() || !software_dir.empty() ||
                     reboot_ms >= 0 || !fault_specs.empty() || connection_fault_text != "none" ||
                     !lc.empty() || !prom.empty() || !bootstrap.empty() || !cpld.empty() ||
                     !cable.empty() || !cable_version.empty() || !serial.empty() || !mac.empty() ||
                     !usb_mac.empty();
    if (simulates && (!replay_file.empty() || !proxy_address.empty()))
        return Fail(std::string("the device's state, faults and software directory belong to the "
                                "simulated device; they cannot be used with ") +
                    (replay_file.empty() ? "--proxy" : "--replay"));
    if (!replay_file.empty()) {
        gwsim::ReplayOptions options;
        options.bind_address = bind_address;
        options.port = port;
        options.timing = !no_timing;
        options.verbose = verbose;
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        return RunReplay(replay_file, family_text, options);
    }
    if (family_text.empty())
        return Fail("--family is required (ZEL or MIR)");
    gwsim::Family family;
    if (!gwsim::ParseFamily(family_text, &family))
        return Fail("--family must be ZEL or MIR, not \"" + family_text + "\"");

    if (!proxy_address.empty()) {
        gwsim::ProxyOptions options;
        options.family = family;
        options.bind_address = bind_address;
        options.port = port;
        options.device_address = proxy_address;
        options.device_port = device_port;
        options.record_path = record_file;
        options.verbose = verbose;
        options.log = [](const std::string& line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        };
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        return RunProxy(options);
    }

    gwsim::DeviceState state = gwsim::DeviceState::Default(family);
    if (!state_file.empty()) {
        std::string error;
        if (!gwsim::DeviceState::LoadFile(state_file, &state, &error))
            return Fail(error);
        if (state.family != family)
            return Fail(state_file + " describes a " + gwsim::FamilyName(state.family) +
                        " device, not " + gwsim::FamilyName(family));
    }
    if (!lc.empty())
        state.lc_release = lc;
    if (!prom.empty())
        state.prom_release = prom;
    if (!bootstrap.empty())
        state.bootstrap_release = bootstrap;
    if (!cpld.empty()) {
        if (cpld == "standard") {
            state.cpld_custom = false;
        } else {
            try {
                size_t used = 0;
                unsigned long v = std::stoul(cpld, &used, 0);
                if (used != cpld.size() || v > 0xFFFFFFFFul || cpld[0] == '-')
                    throw std::invalid_argument(cpld);
                state.cpld_custom = true;
                state.cpld_revision = static_cast<uint32_t>(v);
            } catch (const std::exception&) {
                return Fail("--cpld must be \"standard\" or a revision number");
            }
        }
    }
    if (!cable.empty() && !gwsim::ParseCableType(cable, &state.cable))
        return Fail("--cable must be none, mac or r318");
    if (!cable_version.empty())
        state.cable_version = cable_version;
    if (!serial.empty())
        state.serial_number = serial;
    if (!mac.empty())
        state.mac_address = mac;
    if (!usb_mac.empty())
        state.usb_mac_address = usb_mac;
    if (reboot_ms >= 0)
        state.reboot_ms = static_cast<uint32_t>(reboot_ms);

    std::vector<gwsim::Fault> faults;
    for (const std::string& spec : fault_specs) {
        gwsim::Fault f;
        std::string error;
        if (!gwsim::ParseFault(spec, &f, &error))
            return Fail(error);
        faults.push_back(f);
    }
    gwsim::ConnectionFault connection_fault;
    if (!gwsim::ParseConnectionFault(connection_fault_text, &connection_fault))
        return Fail("--connection-fault must be none, refuse or hang");

    gwsim::Options options;
    options.bind_address = bind_address;
    options.port = port;
    options.software_dir = software_dir;
    options.verbose = verbose;
    options.log = [](const std::string& line) {
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
    };

    gwsim::Simulator sim(state, options);
    for (const auto& f : faults)
        sim.AddFault(f);
    sim.SetConnectionFault(connection_fault);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::string error;
    if (!sim.Start(&error)) {
        std::cerr << "gwsim: " << error << std::endl;
        return 1;
    }
    std::fprintf(stdout, "gwsim: %s device listening on %s:%u\n", gwsim::FamilyName(family),
                 bind_address.c_str(), unsigned(sim.port()));
    std::fflush(stdout);

    // Poll the flag set by the signal handler; the simulator serves on its own thread.
    while (!g_stop) {
        sim.WaitUntil([] { return g_stop != 0; }, std::chrono::milliseconds(100));
    }
    sim.Stop();
    if (!save_state_file.empty()) {
        if (!sim.State().SaveFile(save_state_file, &error))
            return Fail(error);
    }
    std::fprintf(stdout, "gwsim: stopped after %zu connection(s), %zu request(s), %zu reset(s)\n",
                 sim.ConnectionCount(), sim.RequestCount(), sim.ResetCount());
    std::fflush(stdout);
    return 0;
}
