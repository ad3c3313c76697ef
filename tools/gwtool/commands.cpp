#include "tools/gwtool/commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tools/gwtool/report.h"

namespace fs = std::filesystem;

namespace gwtool {

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::milliseconds kPollInterval(25);
const std::chrono::milliseconds kTickInterval(100);
const std::chrono::milliseconds kRetryInterval(500);

// The family's gateway with the device address set (when the family is
// contacted, --address is required).
std::unique_ptr<Gateway> OpenGateway(const Options& options, bool address_required) {
    const FamilyKind kind = ParseFamily(options.family, "--family");
    std::unique_ptr<Gateway> gateway(new Gateway(options.family));
    if (!options.address.empty()) {
        gateway->SetAddress(options.address, ParseIPv4(options.address, "--address"));
    } else if (address_required && kind != FamilyKind::TarvikII) {
        throw UsageError("--address", "--address: required for the " + options.family +
                                          " family (the device's IPv4 address)");
    }
    return gateway;
}

Component ParseCodeType(const std::string& text, FamilyKind kind, const std::string& family) {
    std::string upper = text;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (upper == "BOOTSTRAP")
        upper = "BS";
    for (Component c : UpdatePriority()) {
        if (upper != ComponentCode(c))
            continue;
        const std::vector<Component> supported = SupportedComponents(kind);
        for (Component s : supported) {
            if (s == c)
                return c;
        }
        std::string list;
        for (Component s : supported)
            list += std::string(list.empty() ? "" : ", ") + ComponentCode(s);
        throw UsageError("--code-type",
                         "--code-type: the " + family + " family has no " + ComponentCode(c) +
                             " component" +
                             (list.empty() ? std::string() : " (it has " + list + ")"));
    }
    throw UsageError("--code-type", "--code-type: unknown code type '" + text +
                                        "' (LC, PROM, BS, CPLD, MAC or R318)");
}

// Runs fn on a helper thread while the main thread keeps the spinner turning.
template <typename Fn>
bool RunAnimated(Console& console, Fn fn) {
    std::atomic<bool> done{false};
    bool result = false;
    std::thread helper([&] {
        result = fn();
        done = true;
    });
    while (!done) {
        std::this_thread::sleep_for(kPollInterval);
        console.ProgressTick();
    }
    helper.join();
    return result;
}

void SleepAnimated(Console& console, Clock::duration duration) {
    const Clock::time_point end = Clock::now() + duration;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kTickInterval, end - Clock::now()));
        console.ProgressTick();
    }
}

int Unreachable(Console& console, const CheckReport& report, nlohmann::json& doc) {
    console.Note("gwtool: " + report.unreachable_reason + "\n");
    doc["error"] = {{"message", report.unreachable_reason}, {"exit_code", kExitUnreachable}};
    return kExitUnreachable;
}

}  // namespace

// ---- set-up -----------------------------------------------------------------------

void ApplyLocations(const Options& options) {
    std::error_code ec;
    if (!options.software_dir.empty()) {
        if (!fs::is_directory(options.software_dir, ec)) {
            throw UsageError("--software-dir",
                             "--software-dir: '" + options.software_dir + "' is not a directory");
        }
        SetProcessEnvironment("GATEWAY_SOFTWARE_DIR",
                              fs::absolute(options.software_dir, ec).lexically_normal().string());
    }
    if (!options.log_dir.empty()) {
        fs::create_directories(options.log_dir, ec);
        if (!fs::is_directory(options.log_dir, ec)) {
            throw UsageError("--log-dir", "--log-dir: '" + options.log_dir +
                                              "' is not a directory and cannot be created");
        }
        SetProcessEnvironment("GATEWAY_LOG_DIR",
                              fs::absolute(options.log_dir, ec).lexically_normal().string());
    }
    // The library writes its monitor log and the identity record file there.
    fs::create_directories(LogDirectory(), ec);
}

MonitorRoute::MonitorRoute(Console& console) : installed_(console.verbose()) {
    if (!installed_)
        return;
    SetLineSink([&console](const std::string& channel, const std::string& text) {
        console.MonitorLine(channel, text);
    });
}

MonitorRoute::~MonitorRoute() {
    if (installed_)
        SetLineSink(LineSink());
}

// ---- check ------------------------------------------------------------------------

int RunCheck(const Options& options, Console& console, nlohmann::json& doc) {
    std::unique_ptr<Gateway> gateway = OpenGateway(options, true);
    MonitorRoute route(console);
    const CheckReport report = gateway->Check(true);
    doc = CheckJson(report);
    console.Out(CheckText(report));
    if (!report.reachable)
        return Unreachable(console, report, doc);
    return report.DifferencesFound() ? kExitDifferences : kExitOk;
}

// ---- update -----------------------------------------------------------------------

int PerformUpdate(Gateway& gateway, Console& console, const CheckReport& before,
                  double reboot_timeout_s, nlohmann::json& doc, CheckReport* after_out) {
    const UpdatePlan plan = PlanUpdate(before);
    if (!plan.needed) {
        doc["outcome"] = "nothing to update";
        return kExitOk;
    }
    const std::string code = ComponentCode(plan.component);
    doc["update"] = {{"component", code}, {"reason", plan.reason}};

    const std::string staged_name = gateway.StagedFileName(plan.component);
    const fs::path staged = fs::path(SoftwareDirectory()) / staged_name;
    console.ProgressBegin(code + " update, " + gateway.family() + " " + gateway.address());
    gateway.StartUpdate(before);
    console.ProgressStep("worker running");

    // The worker stages the image (where the family stages one), resets the
    // device and ends; nothing else reports its progress.
    Clock::time_point next_tick = Clock::now();
    while (RunningWorkers() > 0) {
        std::error_code ec;
        if (!staged_name.empty() && fs::exists(staged, ec))
            console.ProgressStep("images staged");
        if (Clock::now() >= next_tick) {
            console.ProgressTick();
            next_tick = Clock::now() + kTickInterval;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    WaitForWorkers(0xFFFFFFFFUL);
    console.ProgressStep("worker done");

    // The device reboots after its reset: ask again until it answers.
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(reboot_timeout_s));
    bool back = false;
    for (;;) {
        console.ProgressStep("waiting for the device");
        back = RunAnimated(console, [&gateway] { return gateway.ReadReleaseIds(); });
        if (back || Clock::now() >= deadline)
            break;
        SleepAnimated(console, std::min<Clock::duration>(kRetryInterval, deadline - Clock::now()));
    }

    std::string outcome = "pending";
    int exit_code = kExitPending;
    CheckReport after;
    if (back) {
        console.ProgressStep("verifying");
        after = gateway.Check(false);
        const ComponentStatus* row = after.Find(plan.component);
        const bool verified =
            row && IsRealRelease(row->device_release) && row->result == Diff::Same;
        outcome = verified ? "verified" : "failed";
        exit_code = verified ? kExitOk : kExitDifferences;
    }
    console.ProgressEnd(code + " update " + outcome);

    nlohmann::json steps = nlohmann::json::array();
    for (const auto& step : console.ProgressSteps()) {
        steps.push_back({{"step", step.first}, {"elapsed_s", step.second}});
    }
    doc["progress"] = steps;
    doc["outcome"] = outcome;
    doc["after"] = back ? CheckJson(after) : nlohmann::json();
    if (back && after_out)
        *after_out = after;

    if (back)
        console.Out("After the update:\n" + CheckText(after));
    if (outcome == "verified") {
        const ComponentStatus* row = after.Find(plan.component);
        console.Out("Update of " + code + " verified: the device now runs " + row->device_release +
                    ".\n");
    } else if (outcome == "failed") {
        const ComponentStatus* row = after.Find(plan.component);
        console.Out("Update of " + code + " failed: the device reports " +
                    (row ? row->device_release : std::string("nothing")) + ", result " +
                    (row ? DiffName(row->result) : "?") + ".\n");
    } else {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", reboot_timeout_s);
        console.Out("Update of " + code + " pending: the device did not answer again within " +
                    seconds + " s (--reboot-timeout); check it later with gwtool check.\n");
    }
    return exit_code;
}

int RunUpdate(const Options& options, Console& console, nlohmann::json& doc) {
    std::unique_ptr<Gateway> gateway = OpenGateway(options, true);
    MonitorRoute route(console);
    const CheckReport before = gateway->Check(true);
    doc["family"] = options.family;
    doc["address"] = options.address;
    doc["before"] = CheckJson(before);
    console.Out("Before the update:\n" + CheckText(before));
    if (!before.contacted) {
        doc["outcome"] = "not contacted";
        return kExitOk;
    }
    if (!before.reachable)
        return Unreachable(console, before, doc);

    const UpdatePlan plan = PlanUpdate(before);
    if (!plan.needed) {
        console.Out("Nothing to update.\n");
        doc["outcome"] = "nothing to update";
        return kExitOk;
    }
    console.Out("Will update " + std::string(ComponentCode(plan.component)) + ": " + plan.reason +
                ".\n");
    if (!options.yes && !options.json && console.StdinIsTerminal()) {
        if (!console.Confirm("Update " + std::string(ComponentCode(plan.component)) + " on " +
                             options.address + " now?")) {
            console.Out("Update cancelled; nothing was changed.\n");
            doc["update"] = {{"component", ComponentCode(plan.component)}, {"reason", plan.reason}};
            doc["outcome"] = "cancelled";
            return kExitDifferences;
        }
    }
    return PerformUpdate(*gateway, console, before, options.reboot_timeout_s, doc);
}

// ---- values -----------------------------------------------------------------------

int RunValues(const Options& options, Console& console, nlohmann::json& doc) {
    std::unique_ptr<Gateway> gateway = OpenGateway(options, true);
    MonitorRoute route(console);
    doc["family"] = options.family;
    doc["address"] = options.address;
    std::string reason;
    bool reachable = true;
    if (gateway->kind() != FamilyKind::TarvikII) {
        reachable = gateway->ReadReleaseIds(&reason);
    } else {
        console.Note(NotContactedText(options.family));
    }
    const auto values = gateway->StoredValues();
    nlohmann::json object = nlohmann::json::object();
    for (const auto& item : values)
        object[item.first] = item.second;
    doc["values"] = object;
    console.Out("Value store after reading the " + options.family + " device" +
                (options.address.empty() ? std::string() : " at " + options.address) + ":\n" +
                ValuesText(values));
    if (!reachable) {
        CheckReport report;
        report.unreachable_reason = reason;
        return Unreachable(console, report, doc);
    }
    return kExitOk;
}

// ---- files ------------------------------------------------------------------------

int RunFiles(const Options& options, Console& console, nlohmann::json& doc) {
    std::unique_ptr<Gateway> gateway = OpenGateway(options, false);
    std::vector<Component> components = SupportedComponents(gateway->kind());
    if (!options.code_type.empty()) {
        components = {ParseCodeType(options.code_type, gateway->kind(), options.family)};
    }
    const std::string dir = SoftwareDirectory();
    const std::vector<ComponentFiles> files = gateway->Files(components);
    doc["family"] = options.family;
    doc["software_dir"] = dir;
    doc["components"] = FilesJson(files);
    if (gateway->kind() == FamilyKind::TarvikII) {
        console.Out(NotContactedText(options.family) +
                    "It names no firmware files for this family.\n");
        return kExitOk;
    }
    std::string text = FilesText(dir, files);
    if (gateway->kind() == FamilyKind::Zel) {
        const std::string custom = gateway->CustomCpld();
        doc["pc_custom_cpld"] = custom;
        text +=
            "\n  Custom CPLD on the PC: " + (custom.empty() ? "none (standard)" : custom) + "\n";
    }
    console.Out(text);
    return kExitOk;
}

// ---- cpld -------------------------------------------------------------------------

int RunCpld(const Options& options, Console& console, nlohmann::json& doc) {
    if (ParseFamily(options.family, "--family") != FamilyKind::Zel) {
        throw UsageError("--family", "--family: only the ZEL family has a CPLD ('" +
                                         options.family + "' has none)");
    }
    std::unique_ptr<Gateway> gateway = OpenGateway(options, false);
    MonitorRoute route(console);
    if (options.cpld_set) {
        if (options.cpld_set->find_first_of("\r\n") != std::string::npos) {
            throw UsageError("--set", "--set: the custom CPLD name must be one line");
        }
        gateway->SetCustomCpld(*options.cpld_set);
        doc["set"] = *options.cpld_set;
    }
    const std::string custom = gateway->CustomCpld();
    doc["family"] = options.family;
    doc["pc_custom_cpld"] = custom;
    std::string text = "Custom CPLD on the PC: " +
                       (custom.empty() ? std::string("none (the device should run the standard "
                                                     "CPLD)")
                                       : custom) +
                       "\n";
    if (options.cpld_set) {
        text = (options.cpld_set->empty() ? std::string("Custom CPLD setting removed.\n")
                                          : "Custom CPLD set to \"" + *options.cpld_set + "\".\n") +
               text;
    }
    if (options.address.empty()) {
        console.Out(text);
        return kExitOk;
    }
    doc["address"] = options.address;
    std::string reason;
    if (!gateway->ReadReleaseIds(&reason)) {
        console.Out(text);
        CheckReport report;
        report.unreachable_reason = reason;
        return Unreachable(console, report, doc);
    }
    const std::string device = gateway->DeviceRelease(Component::CPLD);
    const bool device_custom = gateway->DeviceHasCustomCpld();
    const bool match = device_custom == !custom.empty();
    doc["device_cpld"] = device;
    doc["device_custom"] = device_custom;
    doc["result"] = match ? "Same" : "Older";
    text += "Device CPLD at " + options.address + ": " + device +
            (device_custom ? " (custom)" : " (standard)") + "\n";
    text +=
        std::string("CPLD check: ") + (match ? "Same" : "Older") +
        (match ? "\n" : " (the full check compares the CPLD once every other component is Same)\n");
    console.Out(text);
    return match ? kExitOk : kExitDifferences;
}

}  // namespace gwtool
