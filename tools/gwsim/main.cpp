// gwsim serve: a simulated gateway device; gwsim proxy: a recording proxy in
// front of a real device; gwsim replay: a recorded session answered again.
// Each runs until SIGINT or SIGTERM.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
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

int Fail(const std::string& message, int code = 2) {
    std::cerr << "gwsim: " << message << std::endl;
    return code;
}

void Say(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

void WaitForSignal() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    while (!g_stop)  // the servers run on their own threads
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Writable without changing it: an existing file is opened for appending, a
// new one is created and removed again.
bool CheckWritable(const std::string& path, std::string* error) {
    std::error_code ec;
    bool existed = std::filesystem::exists(path, ec);
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (!out) {
        *error = "cannot write " + path + ": " + std::generic_category().message(errno);
        return false;
    }
    out.close();
    if (!existed)
        std::filesystem::remove(path, ec);
    return true;
}

struct Common {
    std::string family_text;
    gwsim::ServerOptions server;  // bind address, port, verbose
};

void AddCommon(CLI::App* app, Common* c, const char* family_help) {
    app->add_option("--family", c->family_text, family_help)
        ->check(CLI::IsMember({"ZEL", "MIR"}));  // case-sensitive, as in gwtool
    app->add_option("--bind", c->server.bind_address,
                    "Loopback address to listen on, e.g. 127.0.0.2")
        ->required()
        ->check(CLI::ValidIPV4);
    app->add_option("--port", c->server.port, "TCP port (default: 9191 for ZEL, 9181 for MIR)")
        ->check(CLI::Range(1, 65535));
    app->add_flag("--verbose,-v", c->server.verbose, "Print requests, replies and events");
}

// The state's texts that options set.
struct TextOption {
    const char* name;
    const char* help;
    std::string gwsim::DeviceState::*text;
};
const TextOption kTextOptions[] = {
    {"--lc", "LC release text", &gwsim::DeviceState::lc_release},
    {"--prom", "PROM release text", &gwsim::DeviceState::prom_release},
    {"--bootstrap", "Bootstrap release text (ZEL)", &gwsim::DeviceState::bootstrap_release},
    {"--cable-version", "Active-cable version text (ZEL)", &gwsim::DeviceState::cable_version},
    {"--serial", "Serial number text", &gwsim::DeviceState::serial_number},
    {"--mac", "Network MAC address text (ZEL)", &gwsim::DeviceState::mac_address},
    {"--usb-mac", "USB MAC address text (ZEL)", &gwsim::DeviceState::usb_mac_address}};

struct ServeArgs {
    std::string state_file, save_state_file, software_dir, connection_fault = "none";
    int64_t reboot_ms = -1;
    std::vector<std::string> faults;
    std::string cpld, cable, texts[std::size(kTextOptions)];
};

int RunServe(const Common& c, const ServeArgs& a) {
    gwsim::Family family;
    gwsim::ParseFamily(c.family_text, &family);
    std::string error;
    gwsim::DeviceState state = gwsim::DeviceState::Default(family);
    if (!a.state_file.empty()) {
        if (!gwsim::DeviceState::LoadFile(a.state_file, &state, &error))
            return Fail(error);
        if (state.family != family)
            return Fail(a.state_file + " describes a " + gwsim::FamilyName(state.family) +
                        " device, not " + gwsim::FamilyName(family));
    }
    if (!a.save_state_file.empty() && !CheckWritable(a.save_state_file, &error))
        return Fail("--save-state: " + error);
    for (size_t i = 0; i < std::size(kTextOptions); ++i) {
        if (!a.texts[i].empty())
            state.*kTextOptions[i].text = a.texts[i];
    }
    if (a.cpld == "standard") {
        state.cpld_custom = false;
    } else if (!a.cpld.empty()) {
        uint64_t v = 0;
        if (!gwsim::ParseNumber(a.cpld, 0xFFFFFFFF, &v))
            return Fail("--cpld must be \"standard\" or a revision number");
        state.cpld_custom = true;
        state.cpld_revision = uint32_t(v);
    }
    if (!a.cable.empty() && !gwsim::ParseCableType(a.cable, &state.cable))
        return Fail("--cable must be none, mac or r318");
    if (a.reboot_ms >= 0)
        state.reboot_ms = uint32_t(a.reboot_ms);
    gwsim::ConnectionFault connection_fault;
    if (!gwsim::ParseConnectionFault(a.connection_fault, &connection_fault))
        return Fail("--connection-fault must be none, refuse or hang");

    gwsim::Options options;
    static_cast<gwsim::ServerOptions&>(options) = c.server;
    options.software_dir = a.software_dir;
    options.log = Say;
    gwsim::Simulator sim(state, options);
    for (const std::string& spec : a.faults) {
        gwsim::Fault f;
        if (!gwsim::ParseFault(spec, &f, &error))
            return Fail(error);
        sim.AddFault(f);
    }
    sim.SetConnectionFault(connection_fault);
    if (!sim.Start(&error))
        return Fail(error, 1);
    Say(std::string("gwsim: ") + gwsim::FamilyName(family) + " device listening on " +
        c.server.bind_address + ":" + std::to_string(sim.port()));
    WaitForSignal();
    sim.Stop();
    if (!a.save_state_file.empty() && !sim.State().SaveFile(a.save_state_file, &error))
        return Fail(error);
    Say("gwsim: stopped after " + std::to_string(sim.ConnectionCount()) + " connection(s), " +
        std::to_string(sim.RequestCount()) + " request(s), " + std::to_string(sim.ResetCount()) +
        " reset(s)");
    return 0;
}

int RunProxy(const Common& c, const std::string& device, uint16_t device_port,
             const std::string& record) {
    gwsim::ProxyOptions options;
    gwsim::ParseFamily(c.family_text, &options.family);
    static_cast<gwsim::ServerOptions&>(options) = c.server;
    options.device_address = device;
    options.device_port = device_port;
    options.record_path = record;
    options.log = Say;
    gwsim::Proxy proxy(options);
    std::string error;
    if (!proxy.Start(&error))
        return Fail(error, 1);
    Say(std::string("gwsim: ") + gwsim::FamilyName(options.family) + " proxy listening on " +
        c.server.bind_address + ":" + std::to_string(proxy.port()) + " for the device at " +
        device + ":" +
        std::to_string(device_port ? device_port : gwsim::DefaultPort(options.family)) +
        (record.empty() ? "" : ", recording to " + record));
    WaitForSignal();
    proxy.Stop();
    Say("gwsim: proxy stopped after " + std::to_string(proxy.ConnectionCount()) +
        " connection(s), " + std::to_string(proxy.RequestCount()) + " request(s) recorded");
    if (!proxy.RecordingHealthy(&error))
        return Fail(record + ": " + error);
    return 0;
}

int RunReplay(const Common& c, const std::string& path, bool no_timing) {
    gwsim::Session session;
    std::string error;
    std::vector<std::string> warnings;
    if (!gwsim::LoadSession(path, &session, &error, &warnings))
        return Fail(error);
    for (const std::string& w : warnings)
        std::cerr << "gwsim: warning: " << w << std::endl;
    gwsim::Family family;
    if (gwsim::ParseFamily(c.family_text, &family) && family != session.family)
        return Fail(path + " is a session of a " + gwsim::FamilyName(session.family) +
                    " device, not " + gwsim::FamilyName(family));
    gwsim::ReplayOptions options;
    static_cast<gwsim::ServerOptions&>(options) = c.server;
    options.timing = !no_timing;
    gwsim::Replayer replayer(session, options);
    if (!replayer.Start(&error))
        return Fail(error, 1);
    Say("gwsim: replaying " + path + " (" + gwsim::FamilyName(session.family) + " device, " +
        std::to_string(session.exchanges.size()) + " exchange(s)) on " + c.server.bind_address +
        ":" + std::to_string(replayer.port()) + (no_timing ? ", without timing" : ""));
    WaitForSignal();
    replayer.Stop();
    std::vector<gwsim::RecordedRequest> unmatched = replayer.Unmatched();
    Say("gwsim: replay stopped after " + std::to_string(replayer.ConnectionCount()) +
        " connection(s), " + std::to_string(replayer.RequestCount()) + " request(s), " +
        std::to_string(unmatched.size()) + " without a recorded answer");
    for (const gwsim::RecordedRequest& r : unmatched)
        Say("gwsim:   not in the recording: " + gwsim::DescribeRequest(r));
    return unmatched.empty() ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulated gateway device (ZEL first-generation device or MIR measurement "
        "module), recording proxy, and replay of recorded sessions"};
    app.require_subcommand(1);

    Common serve_common;
    ServeArgs s;
    CLI::App* serve = app.add_subcommand("serve", "Answer as a simulated device");
    AddCommon(serve, &serve_common, "Device family: ZEL or MIR");
    serve->get_option("--family")->required();
    serve->add_option("--state", s.state_file, "Device state as JSON (see README.md)");
    serve->add_option("--save-state", s.save_state_file, "Write the device state here on exit");
    serve->add_option("--software-dir", s.software_dir,
                      "Software directory (default: $GATEWAY_SOFTWARE_DIR)");
    serve->add_option("--reboot-ms", s.reboot_ms, "How long a reset keeps connections refused")
        ->check(CLI::Range(int64_t(0), int64_t(3600000)));
    serve
        ->add_option("--fault", s.faults,
                     "Request fault KIND[:key=value,...], e.g. status:code=0x20000000,status=5")
        ->take_all();
    serve->add_option("--connection-fault", s.connection_fault,
                      "Connection fault: none, refuse or hang");
    for (size_t i = 0; i < std::size(kTextOptions); ++i)
        serve->add_option(kTextOptions[i].name, s.texts[i], kTextOptions[i].help);
    serve->add_option("--cpld", s.cpld, "CPLD: standard, or the custom revision number (ZEL)");
    serve->add_option("--cable", s.cable, "Attached active cable: none, mac or r318 (ZEL)");

    Common proxy_common;
    std::string device, record;
    uint16_t device_port = 0;
    CLI::App* proxy = app.add_subcommand("proxy", "Relay to a real device and record the session");
    AddCommon(proxy, &proxy_common, "Device family: ZEL or MIR");
    proxy->get_option("--family")->required();
    proxy->add_option("--device", device, "Address of the real device")->required();
    proxy->add_option("--device-port", device_port, "The device's TCP port (default: the family's)")
        ->check(CLI::Range(1, 65535));
    proxy->add_option("--record", record, "Record the session in this file (JSON lines)");

    Common replay_common;
    std::string session;
    bool no_timing = false;
    CLI::App* replay = app.add_subcommand("replay", "Answer as a recorded session does");
    replay->add_option("session", session, "The recorded session (JSON lines)")->required();
    AddCommon(replay, &replay_common, "Device family (default: the recording's); must agree");
    replay->add_flag("--no-timing", no_timing, "Answer at once, without the recorded gaps");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    if (serve->parsed())
        return RunServe(serve_common, s);
    if (proxy->parsed())
        return RunProxy(proxy_common, device, device_port, record);
    return RunReplay(replay_common, session, no_timing);
}
