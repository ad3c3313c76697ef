// gwtool: check, update and inspect a gateway device from the command line.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "tools/gwtool/commands.h"
#include "tools/gwtool/console.h"
#include "tools/gwtool/fleet.h"
#include "tools/gwtool/model.h"

namespace {

using gwtool::Options;

const char kDescription[] =
    "Check, update and inspect a gateway device (ZEL..., MIR, Tarvik II) through the gateway "
    "library. Firmware files come from GATEWAY_SOFTWARE_DIR, logs go to GATEWAY_LOG_DIR; "
    "--software-dir and --log-dir override them.";

using Runner = std::function<int(const Options&, gwtool::Console&, nlohmann::json&)>;

struct Subcommand {
    CLI::App* app;
    Runner run;
};

void AddOutputOptions(CLI::App* sub, Options& o) {
    sub->add_flag("--json", o.json,
                  "Print one JSON document on stdout (errors included); human text goes to "
                  "stderr");
    sub->add_flag("--verbose,-v", o.verbose, "Show the library's monitor lines as they arrive");
}

void AddLocationOptions(CLI::App* sub, Options& o) {
    sub->add_option("--software-dir", o.software_dir,
                    "Directory of the PC's firmware files (overrides GATEWAY_SOFTWARE_DIR)");
    sub->add_option("--log-dir", o.log_dir,
                    "Directory for the library's logs and identity record (overrides "
                    "GATEWAY_LOG_DIR; created when missing)");
}

void AddDeviceOptions(CLI::App* sub, Options& o, bool address_needed) {
    CLI::Option* family = sub->add_option(
        "--family,-f", o.family,
        "Device family: a name beginning with \"ZEL\", \"MIR\" or \"Tarvik II\"" +
            std::string(address_needed ? " (the default for devices named without one)" : ""));
    if (!address_needed) {
        family->required();
        sub->add_option("--address,-a", o.address, "The device's IPv4 address")->type_name("IPV4");
        return;
    }
    sub->add_option("--address,-a", o.addresses,
                    "The device's IPv4 address (not needed for Tarvik II); repeat it for "
                    "several devices")
        ->type_name("IPV4")
        ->allow_extra_args(false);
    sub->add_option("--addresses", o.addresses_file,
                    "A file of devices, one per line: ADDRESS [FAMILY] ('#' starts a comment)")
        ->type_name("FILE");
    sub->add_option("--from-scan", o.from_scan,
                    "Scan these addresses, ranges or blocks first and work on the devices that "
                    "answered")
        ->type_name("TARGET");
    sub->add_option("--jobs,-j", o.jobs, "Devices handled at once (1 to 64; default 8)");
}

void AddConnectTimeout(CLI::App* sub, std::string& text) {
    sub->add_option("--connect-timeout", text,
                    "Seconds each scan connection attempt may take (default 0.5)")
        ->type_name("S");
}

void AddRebootTimeout(CLI::App* sub, std::string& text) {
    sub->add_option("--reboot-timeout", text,
                    "Seconds to wait for the device to answer again after the update's reset "
                    "(0 to 86400; default 120)")
        ->type_name("S");
}

const char* const kSubcommands[] = {"check", "update", "values", "files", "cpld", "demo", "scan"};

bool IsSubcommand(const char* arg) {
    for (const char* name : kSubcommands) {
        if (std::strcmp(arg, name) == 0)
            return true;
    }
    return false;
}

// Options given before the subcommand ("gwtool --json check ...") go after it;
// a first word that is no subcommand is named as such.
std::vector<std::string> Arguments(int argc, char** argv, std::string* unknown) {
    std::vector<std::string> args(argv, argv + argc);
    for (int i = 1; i < argc; ++i) {
        if (IsSubcommand(argv[i])) {
            std::rotate(args.begin() + 1, args.begin() + i, args.begin() + i + 1);
            return args;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') {
            *unknown = argv[i];
            break;
        }
    }
    return args;
}

bool HasJsonFlag(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0)
            return true;
    }
    return false;
}

int PrintError(bool json, const std::string& command, const std::string& argument,
               const std::string& message, int code, nlohmann::json doc = nlohmann::json()) {
    std::cerr << "gwtool" << (command.empty() ? "" : " " + command) << ": " << message << std::endl;
    if (json) {
        if (!doc.is_object())
            doc = nlohmann::json::object();
        if (!command.empty())
            doc["command"] = command;
        doc["schema_version"] = gwtool::kSchemaVersion;
        nlohmann::json error = {{"message", message}, {"exit_code", code}};
        if (!argument.empty())
            error["argument"] = argument;
        doc["error"] = error;
        doc["exit_code"] = code;
        std::cout << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "gwtool"};
    app.footer(gwtool::kExitCodeHelp);
    app.require_subcommand(1);

    Options o;
    std::string reboot_timeout;
    std::string connect_timeout;
    std::vector<Subcommand> subs;
    app.set_version_flag("--version", std::string("gwtool ") + GWTOOL_VERSION +
                                          " (library zodaruruvizi " + GWTOOL_VERSION + ")");

    CLI::App* check = app.add_subcommand(
        "check",
        "Read the device's releases and compare each component with the PC's files "
        "(changes nothing)");
    AddDeviceOptions(check, o, true);
    AddConnectTimeout(check, connect_timeout);
    subs.push_back({check, gwtool::RunCheck});

    CLI::App* update = app.add_subcommand(
        "update",
        "Check, then update the one component the library chooses, show progress and "
        "verify it after the device's reboot");
    AddDeviceOptions(update, o, true);
    AddConnectTimeout(update, connect_timeout);
    update->add_flag("--yes,-y", o.yes,
                     "Do not ask for confirmation (required with several devices, --addresses or "
                     "--from-scan)");
    update->add_flag("--all", o.all,
                     "Update every differing component, one per round, until every component "
                     "is Same or a round fails");
    AddRebootTimeout(update, reboot_timeout);
    subs.push_back({update, gwtool::RunUpdate});

    CLI::App* values = app.add_subcommand(
        "values", "Read the device and print the library's value store (releases, identity)");
    AddDeviceOptions(values, o, true);
    AddConnectTimeout(values, connect_timeout);
    subs.push_back({values, gwtool::RunValues});

    CLI::App* files = app.add_subcommand(
        "files",
        "List each component's shipped and staged firmware files on the PC, whether "
        "present, and their releases");
    AddDeviceOptions(files, o, false);
    files->add_option("--code-type,-c", o.code_type,
                      "Only this component: LC, PROM, BS, CPLD, MAC or R318");
    files->add_flag("--clean", o.clean,
                    "Remove staged (.load) and partial (.partial) files left in the folder, "
                    "after asking");
    files->add_flag("--yes,-y", o.yes, "--clean: do not ask");
    subs.push_back({files, gwtool::RunFiles});

    CLI::App* cpld = app.add_subcommand(
        "cpld",
        "Show (or with --set change) the custom CPLD set on the PC; with --address also "
        "the device's CPLD");
    o.family = "ZEL";
    cpld->add_option("--family,-f", o.family, "Device family (only ZEL devices have a CPLD)")
        ->capture_default_str();
    cpld->add_option("--address,-a", o.address, "The device's IPv4 address")->type_name("IPV4");
    cpld->add_option("--set", o.cpld_set,
                     "Set the custom CPLD name on the PC (an empty name removes the setting)");
    subs.push_back({cpld, gwtool::RunCpld});

    CLI::App* demo = app.add_subcommand(
        "demo",
        "Start simulated ZEL and MIR devices on loopback with older firmware, then "
        "check, update and verify them until every component is Same");
    AddRebootTimeout(demo, reboot_timeout);
    subs.push_back({demo, gwtool::RunDemo});

    CLI::App* scan = app.add_subcommand(
        "scan",
        "Find devices: try a TCP connection to the ZEL (9191) and MIR (9181) ports of every "
        "address given (at most 1,024), and list those that accepted");
    scan->add_option("TARGET", o.targets,
                     "An IPv4 address, a range (192.0.2.10-40) or a block (192.0.2.0/24)")
        ->required();
    AddConnectTimeout(scan, connect_timeout);
    subs.push_back({scan, gwtool::RunScan});

    for (const Subcommand& s : subs) {
        AddOutputOptions(s.app, o);
        if (s.app != demo && s.app != scan)
            AddLocationOptions(s.app, o);
        s.app->footer(gwtool::kExitCodeHelp);
    }

    const bool json_requested = HasJsonFlag(argc, argv);
    std::string unknown;
    std::vector<std::string> args = Arguments(argc, argv, &unknown);
    if (!unknown.empty()) {
        return PrintError(json_requested, "", "",
                          "unknown subcommand '" + unknown +
                              "' (check, update, values, files, cpld, demo or scan)",
                          gwtool::kExitUsage);
    }
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend() - 1);
        app.parse(reversed);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        std::string command;
        for (const Subcommand& s : subs) {
            if (s.app->parsed())
                command = s.app->get_name();
        }
        return PrintError(json_requested, command, "", e.what(), gwtool::kExitUsage);
    }

    const Subcommand* chosen = nullptr;
    for (const Subcommand& s : subs) {
        if (s.app->parsed())
            chosen = &s;
    }
    const std::string command = chosen->app->get_name();
    if (!reboot_timeout.empty()) {
        try {
            o.reboot_timeout_s = gwtool::ParseSeconds(reboot_timeout, "--reboot-timeout");
        } catch (const gwtool::UsageError& e) {
            return PrintError(o.json, command, e.argument(), e.what(), gwtool::kExitUsage);
        }
    }
    if (!connect_timeout.empty()) {
        try {
            o.connect_timeout_s = gwtool::ParseSeconds(connect_timeout, "--connect-timeout");
        } catch (const gwtool::UsageError& e) {
            return PrintError(o.json, command, e.argument(), e.what(), gwtool::kExitUsage);
        }
    }
    gwtool::Console console(o.json, o.verbose);
    nlohmann::json doc = nlohmann::json::object();
    int code = gwtool::kExitUsage;
    if (o.addresses.size() == 1)
        o.address = o.addresses.front();
    const bool per_device = chosen->app == check || chosen->app == update || chosen->app == values;
    if (per_device && chosen->app->count("--family") == 0)
        o.family.clear();  // the default belongs to cpld
    try {
        if (chosen->app != demo && chosen->app != scan)
            gwtool::ApplyLocations(o);
        if (gwtool::ManyDevices(o)) {
            code = gwtool::RunMany(command, o, console, doc);
        } else {
            if (o.family.empty() && per_device) {
                throw gwtool::UsageError("--family", "--family: required (the device family)");
            }
            code = chosen->run(o, console, doc);
        }
    } catch (const gwtool::UsageError& e) {
        return PrintError(o.json, command, e.argument(), e.what(), gwtool::kExitUsage);
    } catch (const std::exception& e) {
        return PrintError(o.json, command, "", e.what(), gwtool::kExitDifferences, doc);
    }
    if (o.json) {
        nlohmann::json out = {{"command", command}};
        for (auto it = doc.begin(); it != doc.end(); ++it)
            out[it.key()] = it.value();
        out["schema_version"] = gwtool::kSchemaVersion;
        out["warnings"] = console.Warnings();
        out["exit_code"] = code;
        console.Document(out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    if (!console.StdoutWritten()) {
        std::cerr << "gwtool " << command << ": could not write to standard output" << std::endl;
        code = gwtool::MoreUrgent(code, gwtool::kExitDifferences);
    }
    if (code == gwtool::kExitInterrupted) {
        // The library's worker may still run: end without tearing anything down.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
