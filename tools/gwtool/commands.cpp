#include "tools/gwtool/commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "tools/gwtool/report.h"
#include "tools/gwtool/terminal.h"

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

// Runs fn on a helper thread while the main thread keeps the spinner turning;
// none when `stop` said so first (the helper is then left to finish alone).
template <typename Fn, typename Stop>
std::optional<bool> RunAnimated(Console& console, Fn fn, Stop stop) {
    struct Shared {
        std::atomic<bool> done{false};
        bool result = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread helper([shared, fn] {
        shared->result = fn();
        shared->done = true;
    });
    while (!shared->done) {
        if (stop()) {
            helper.detach();
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollInterval);
        console.ProgressTick();
    }
    helper.join();
    return shared->result;
}

template <typename Stop>
void SleepAnimated(Console& console, Clock::duration duration, Stop stop) {
    const Clock::time_point end = Clock::now() + duration;
    while (Clock::now() < end && !stop()) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kTickInterval, end - Clock::now()));
        console.ProgressTick();
    }
}

// Components without a usable comparison, in words (empty when there are none).
std::string IncompleteText(const CheckReport& report) {
    std::string out;
    for (Component c : report.Incomplete()) {
        const ComponentStatus* row = report.Find(c);
        out += std::string(out.empty() ? "" : ", ") + ComponentCode(c) + " " +
               ResultName(row->Shown());
    }
    return out;
}

// Firmware files that are present but carry no release marker.
void WarnAboutFiles(const CheckReport& report, Console& console) {
    for (const ComponentStatus& row : report.components) {
        std::error_code ec;
        if (row.component == Component::CPLD || row.pc_release || row.pc_file.empty() ||
            !fs::is_regular_file(fs::path(report.software_dir) / row.pc_file, ec)) {
            continue;
        }
        console.Warning(row.pc_file + " in " + report.software_dir +
                        " carries no release marker; " + ComponentCode(row.component) +
                        " cannot be compared");
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

void CheckSoftwareFolder(const Options& options, Console& console) {
    const std::string dir = SoftwareDirectory();
    std::string argument;
    std::string origin;
    const char* variable = std::getenv("GATEWAY_SOFTWARE_DIR");
    if (!options.software_dir.empty()) {
        argument = origin = "--software-dir";
    } else if (variable && *variable) {
        argument = origin = "GATEWAY_SOFTWARE_DIR";
    } else {
        origin = "the default, as GATEWAY_SOFTWARE_DIR is not set";
    }
    const std::string named = "the firmware folder '" + dir + "' (" + origin + ")";
    std::error_code ec;
    const fs::file_status status = fs::status(dir, ec);
    if (!fs::exists(status))
        throw UsageError(argument, named + " does not exist");
    if (!fs::is_directory(status))
        throw UsageError(argument, named + " is not a folder");
    fs::directory_iterator it(dir, ec);
    if (ec)
        throw UsageError(argument, named + " cannot be read: " + ec.message());
    if (it == fs::directory_iterator())
        console.Warning(named + " is empty: no component can be compared");
}

MonitorRoute::MonitorRoute(Console& console) : console_(console) {
    SetLineSink([this](const std::string& channel, const std::string& text) {
        console_.MonitorLine(channel, text);
        if (channel == "RT_COMMS_E" || channel == "LogError") {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(channel, text);
        }
    });
}

MonitorRoute::~MonitorRoute() {
    SetLineSink(LineSink());
}

void MonitorRoute::Warn(const CheckReport* report) {
    std::vector<std::pair<std::string, std::string>> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(lines_);
    }
    for (const auto& line : lines) {
        const std::string text = LibraryLineText(line.first, line.second, report);
        if (!text.empty())
            console_.Warning(text);
    }
}

namespace {

// The library's file-error causes (the order of its CFileException causes).
const char* FileCauseText(int cause) {
    static const char* const kCauses[] = {"no error",
                                          "an unspecified error",
                                          "file not found",
                                          "bad path",
                                          "too many open files",
                                          "permission denied",
                                          "invalid file",
                                          "cannot remove the current folder",
                                          "folder full",
                                          "bad seek",
                                          "input/output error",
                                          "sharing violation",
                                          "lock violation",
                                          "disk full",
                                          "end of file"};
    if (cause < 0 || cause >= static_cast<int>(sizeof kCauses / sizeof kCauses[0]))
        return "an unknown error";
    return kCauses[cause];
}

bool NoCables(const CheckReport* report) {
    if (!report)
        return false;
    for (const ComponentStatus& row : report->components) {
        if (IsCable(row.component) && row.Shown() != Result::NoCable)
            return false;
    }
    return true;
}

}  // namespace

std::string LibraryLineText(const std::string& channel, const std::string& text,
                            const CheckReport* report) {
    if (channel == "LogError")
        return "the library reported an internal error at " + text;
    const std::string record = "StoreTarvikSerialNumToFile - Encountered problems: ";
    const size_t at = text.find(record);
    if (at != std::string::npos) {
        const std::string number = text.substr(at + record.size());
        int cause = -1;
        if (!number.empty() && number.size() < 4 &&
            number.find_first_not_of("0123456789") == std::string::npos) {
            cause = std::stoi(number);
        }
        return "could not write the identity record file " +
               (fs::path(LogDirectory()) / "Tarvik_Serial_Nums.txt").string() + ": " +
               FileCauseText(cause);
    }
    if (text.find("Active Cable (Tessan/R318) firmware version failed") != std::string::npos)
        return NoCables(report) ? std::string() : "the device gave no active cable release";
    if (text.find("Non-Standard CPLD Detected") != std::string::npos)
        return std::string();
    if (text == "Get VSI_GET_PROM_VERSION failed.")
        return "the device gave no PROM release";
    if (text == "Get VSI_GET_BOOTSTRAP_VERSION failed.")
        return "the device gave no bootstrap release";
    return "the library reports: " + text;
}

// ---- check ------------------------------------------------------------------------

int RunCheck(const Options& options, Console& console, nlohmann::json& doc) {
    std::unique_ptr<Gateway> gateway = OpenGateway(options, true);
    if (gateway->kind() != FamilyKind::TarvikII)
        CheckSoftwareFolder(options, console);
    MonitorRoute route(console);
    const CheckReport report = gateway->Check(true);
    doc = CheckJson(report);
    console.Out(CheckText(report));
    route.Warn(&report);
    if (!report.reachable)
        return Unreachable(console, report, doc);
    WarnAboutFiles(report, console);
    return report.ExitCode();
}

// ---- update -----------------------------------------------------------------------

namespace {

// The components an update of `component` installs: a ZEL update other than LC
// stages LC too.
std::vector<Component> Installs(FamilyKind kind, Component component) {
    std::vector<Component> out = {component};
    if (kind == FamilyKind::Zel && component != Component::LC)
        out.push_back(Component::LC);
    return out;
}

// Why the update cannot work, checked before the device is touched; empty when
// nothing is in the way.
std::string UpdateBlocker(Gateway& gateway, const std::vector<Component>& installs) {
    const fs::path dir(SoftwareDirectory());
    std::error_code ec;
    for (Component c : installs) {
        const std::string name = gateway.ShippedFileName(c);
        if (!fs::is_regular_file(dir / name, ec)) {
            return name + ", which the update installs, is not in " + dir.string();
        }
    }
    const bool stages = gateway.kind() == FamilyKind::Zel || installs.front() == Component::LC;
    if (stages) {
        const fs::path probe = dir / ".gwtool-write-check";
        bool writable = false;
        {
            std::ofstream out(probe, std::ios::binary);
            writable = static_cast<bool>(out << "x");
        }
        fs::remove(probe, ec);
        if (!writable) {
            return "the firmware folder " + dir.string() +
                   " is not writable, and the update stages its images there";
        }
    }
    return std::string();
}

// Counts Ctrl-C instead of ending at once while alive.
class InterruptGuard {
public:
    InterruptGuard() { CatchInterrupts(); }
    ~InterruptGuard() { ReleaseInterrupts(); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Removes the partial copies an interrupted update leaves; returns their names.
std::vector<std::string> RemovePartialFiles() {
    std::vector<std::string> removed;
    std::error_code ec;
    for (fs::directory_iterator it(SoftwareDirectory(), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code rc;
        if (it->path().extension() == ".partial" && fs::remove(it->path(), rc))
            removed.push_back(it->path().filename().string());
    }
    return removed;
}

// Staged images still in the firmware folder.
std::vector<std::string> StagedLeft(Gateway& gateway, const std::vector<Component>& installs) {
    std::vector<std::string> out;
    const fs::path dir(SoftwareDirectory());
    for (Component c : installs) {
        const std::string name = gateway.StagedFileName(c);
        std::error_code ec;
        if (!name.empty() && fs::exists(dir / name, ec))
            out.push_back(name);
    }
    return out;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

}  // namespace

int PerformUpdate(Gateway& gateway, Console& console, const CheckReport& before,
                  double reboot_timeout_s, nlohmann::json& doc, CheckReport* after_out) {
    const UpdatePlan plan = PlanUpdate(before);
    if (!plan.needed) {
        doc["outcome"] = "nothing to update";
        return kExitOk;
    }
    const std::string code = ComponentCode(plan.component);
    const std::vector<Component> installs = Installs(gateway.kind(), plan.component);
    nlohmann::json installed = nlohmann::json::array();
    std::string install_text;
    for (Component c : installs) {
        installed.push_back(ComponentCode(c));
        install_text += std::string(install_text.empty() ? "" : " and ") + ComponentCode(c) + " (" +
                        gateway.ShippedFileName(c) + ")";
    }
    doc["update"] = {{"component", code}, {"reason", plan.reason}, {"installs", installed}};

    const std::string blocker = UpdateBlocker(gateway, installs);
    if (!blocker.empty()) {
        console.Out("Update of " + code + " refused: " + blocker +
                    ". The device was not touched.\n");
        doc["outcome"] = "refused";
        doc["explanation"] = blocker;
        return kExitDifferences;
    }
    console.Out("The update installs " + install_text + ", then resets the device.\n");

    const std::string staged_name = gateway.StagedFileName(plan.component);
    const fs::path staged = fs::path(SoftwareDirectory()) / staged_name;
    // Ctrl-C: the first explains, the second leaves the device as it is.
    InterruptGuard interrupts;
    bool explained = false;
    std::string step = "the update worker is staging the images and resetting the device";
    auto stop = [&]() {
        const int n = Interrupts();
        if (n >= 1 && !explained) {
            explained = true;
            console.Note("gwtool: " + step + " (" + code +
                         " update). Wait for it to end: a second Ctrl-C stops gwtool and leaves "
                         "the device in an unknown state.\n");
        }
        return n >= 2;
    };
    auto abandon = [&]() {
        console.ProgressEnd(code + " update interrupted");
        const std::vector<std::string> removed = RemovePartialFiles();
        doc["outcome"] = "interrupted";
        doc["removed"] = removed;
        console.Note("gwtool: stopped during the " + code + " update; the device's state is " +
                     "unknown" +
                     (removed.empty() ? std::string() : " (removed " + JoinNames(removed) + ")") +
                     ". Run next: gwtool check --family \"" + gateway.family() + "\" --address " +
                     gateway.address() + "\n");
        return kExitInterrupted;
    };
    console.ProgressBegin(code + " update, " + gateway.family() + " " + gateway.address());
    gateway.StartUpdate(before);
    console.ProgressStep("worker running");

    // The worker stages the image (where the family stages one), resets the
    // device and ends; nothing else reports its progress.
    Clock::time_point next_tick = Clock::now();
    while (RunningWorkers() > 0) {
        if (stop())
            return abandon();
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
    step = "the device is restarting after its reset; gwtool waits for it to answer";

    // The device reboots after its reset: ask again until it answers.
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(reboot_timeout_s));
    bool back = false;
    for (;;) {
        console.ProgressStep("waiting for the device");
        Gateway* g = &gateway;
        const std::optional<bool> answered = RunAnimated(
            console, [g] { return g->ReadReleaseIds(); }, stop);
        if (!answered)
            return abandon();
        back = *answered;
        if (back || Clock::now() >= deadline)
            break;
        SleepAnimated(console, std::min<Clock::duration>(kRetryInterval, deadline - Clock::now()),
                      stop);
    }

    std::string outcome = "pending";
    int exit_code = kExitPending;
    CheckReport after;
    if (back) {
        console.ProgressStep("verifying");
        after = gateway.Check(false);
        const ComponentStatus* row = after.Find(plan.component);
        const bool verified = row && row->Shown() == Result::Same;
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
    if (back && !after.Incomplete().empty())
        exit_code = MoreUrgent(exit_code, kExitIncomplete);

    // What can be seen from outside when it did not work.
    std::vector<std::string> why;
    const std::vector<std::string> left = StagedLeft(gateway, installs);
    if (outcome != "verified" && !left.empty()) {
        why.push_back("the staged image " + JoinNames(left) +
                      " is still in the firmware folder after the worker ended (the device "
                      "did not take it)");
    }
    if (outcome == "failed") {
        const ComponentStatus* old_row = before.Find(plan.component);
        const ComponentStatus* row = after.Find(plan.component);
        if (row && old_row && row->device_release == old_row->device_release) {
            why.push_back("the device still reports the old release " + row->device_release);
        }
    }
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
                    (row ? ResultName(row->Shown()) : "?") + ".\n");
    } else {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", reboot_timeout_s);
        console.Out("Update of " + code + " pending: the device did not answer again within " +
                    seconds + " s (--reboot-timeout); check it later with gwtool check.\n");
    }
    if (!why.empty()) {
        std::string text;
        for (const std::string& w : why)
            text += "  - " + w + "\n";
        console.Out("Observed:\n" + text);
        doc["explanation"] = why;
    }
    return exit_code;
}

int UpdateUntilSame(Gateway& gateway, Console& console, CheckReport report, double reboot_timeout_s,
                    nlohmann::json& updates, CheckReport* final_report) {
    std::vector<Component> done;
    int exit_code = kExitOk;
    for (int round = 1;; ++round) {
        const UpdatePlan plan = PlanUpdate(report);
        if (!plan.needed)
            break;
        if (std::find(done.begin(), done.end(), plan.component) != done.end()) {
            console.Note("gwtool: " + std::string(ComponentCode(plan.component)) +
                         " still differs after its update; stopping\n");
            exit_code = kExitDifferences;
            break;
        }
        done.push_back(plan.component);
        console.Out("\n-- update " + std::to_string(round) + ": " + ComponentCode(plan.component) +
                    "\n" + plan.reason + ".\n");
        nlohmann::json update_doc;
        CheckReport after;
        exit_code = PerformUpdate(gateway, console, report, reboot_timeout_s, update_doc, &after);
        updates.push_back(update_doc);
        if (exit_code != kExitOk)
            break;
        report = after;
    }
    if (final_report)
        *final_report = report;
    if (exit_code == kExitOk)
        exit_code = report.ExitCode();
    return exit_code;
}

int RunUpdate(const Options& options, Console& console, nlohmann::json& doc) {
    std::unique_ptr<Gateway> gateway = OpenGateway(options, true);
    if (gateway->kind() != FamilyKind::TarvikII)
        CheckSoftwareFolder(options, console);
    MonitorRoute route(console);
    const CheckReport before = gateway->Check(true);
    doc["family"] = options.family;
    doc["address"] = options.address;
    doc["before"] = CheckJson(before);
    if (!before.contacted) {
        console.Out(CheckText(before));
        doc["outcome"] = "not contacted";
        return kExitOk;
    }
    console.Out("Before the update:\n" + CheckText(before));
    route.Warn(&before);
    if (!before.reachable)
        return Unreachable(console, before, doc);
    WarnAboutFiles(before, console);

    const UpdatePlan plan = PlanUpdate(before);
    const std::string incomplete = IncompleteText(before);
    if (!plan.needed) {
        if (!incomplete.empty()) {
            console.Out("Not known whether anything needs an update: " + incomplete + ".\n");
            doc["outcome"] = "incomplete";
            return kExitIncomplete;
        }
        console.Out("Nothing to update.\n");
        doc["outcome"] = "nothing to update";
        return kExitOk;
    }
    if (options.all) {
        console.Out("Will update every differing component, one per round, starting with " +
                    std::string(ComponentCode(plan.component)) + ": " + plan.reason + ".\n");
    } else {
        console.Out("Will update " + std::string(ComponentCode(plan.component)) + ": " +
                    plan.reason + ".\n");
    }
    if (!options.yes && !options.json && console.StdinIsTerminal()) {
        if (!console.Confirm("Update " + std::string(ComponentCode(plan.component)) + " on " +
                             options.address + " now?")) {
            console.Out("Update cancelled; nothing was changed.\n");
            doc["update"] = {{"component", ComponentCode(plan.component)}, {"reason", plan.reason}};
            doc["outcome"] = "cancelled";
            return kExitDifferences;
        }
    }
    CheckReport after;
    int code = kExitOk;
    if (options.all) {
        nlohmann::json updates = nlohmann::json::array();
        code =
            UpdateUntilSame(*gateway, console, before, options.reboot_timeout_s, updates, &after);
        doc["updates"] = updates;
        doc["final"] = CheckJson(after);
        doc["outcome"] = code == kExitOk ? "every component Same" : "stopped";
    } else {
        code = PerformUpdate(*gateway, console, before, options.reboot_timeout_s, doc, &after);
    }
    if (code == kExitInterrupted) {
        // The library's worker or an abandoned read may still use the gateway;
        // the process ends right after without tearing it down.
        static_cast<void>(gateway.release());
        return code;
    }
    const CheckReport& last = after.components.empty() ? before : after;
    route.Warn(&last);
    return last.Incomplete().empty() ? code : MoreUrgent(code, kExitIncomplete);
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
    route.Warn(nullptr);
    if (!reachable) {
        CheckReport report;
        report.unreachable_reason = reason;
        return Unreachable(console, report, doc);
    }
    return kExitOk;
}

// ---- files ------------------------------------------------------------------------

int RunFiles(const Options& options, Console& console, nlohmann::json& doc) {
    if (!options.address.empty()) {
        throw UsageError("--address",
                         "--address: files lists the PC's files only; it contacts no device");
    }
    std::unique_ptr<Gateway> gateway = OpenGateway(options, false);
    std::vector<Component> components = SupportedComponents(gateway->kind());
    if (!options.code_type.empty()) {
        components = {ParseCodeType(options.code_type, gateway->kind(), options.family)};
    }
    if (gateway->kind() != FamilyKind::TarvikII)
        CheckSoftwareFolder(options, console);
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
    // Staged and partial files another update left behind.
    std::vector<std::string> stale;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string ext = it->path().extension().string();
        if ((ext == ".load" || ext == ".partial") && it->is_regular_file(ec))
            stale.push_back(it->path().filename().string());
    }
    std::sort(stale.begin(), stale.end());
    doc["stale"] = stale;
    if (!stale.empty()) {
        text += "\n  Left by an update: " + JoinNames(stale) +
                "\n  (one may be staged for a device that has not reset yet; gwtool files "
                "--clean removes them)\n";
    }
    console.Out(text);
    if (!options.clean || stale.empty())
        return kExitOk;
    if (!options.yes) {
        if (options.json || !console.StdinIsTerminal()) {
            console.Note("gwtool: nothing removed; add --yes to remove them without asking\n");
            return kExitDifferences;
        }
        if (!console.Confirm("Remove " + JoinNames(stale) + " from " + dir + "?")) {
            console.Out("Nothing removed.\n");
            return kExitDifferences;
        }
    }
    nlohmann::json removed = nlohmann::json::array();
    int code = kExitOk;
    for (const std::string& name : stale) {
        if (fs::remove(fs::path(dir) / name, ec)) {
            removed.push_back(name);
        } else {
            console.Note("gwtool: could not remove " + name + ": " + ec.message() + "\n");
            code = kExitDifferences;
        }
    }
    doc["removed"] = removed;
    console.Out("Removed " + std::to_string(removed.size()) + " file(s).\n");
    return code;
}

// ---- cpld -------------------------------------------------------------------------

int RunCpld(const Options& options, Console& console, nlohmann::json& doc) {
    if (ParseFamily(options.family, "--family") != FamilyKind::Zel) {
        throw UsageError("--family", "--family: only the ZEL family has a CPLD ('" +
                                         options.family + "' has none)");
    }
    std::unique_ptr<Gateway> gateway = OpenGateway(options, false);
    CheckSoftwareFolder(options, console);
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
    const bool read = gateway->ReadReleaseIds(&reason);
    route.Warn(nullptr);
    if (!read) {
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
