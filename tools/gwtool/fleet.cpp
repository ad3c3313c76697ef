#include "tools/gwtool/fleet.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tools/gwtool/gateway.h"
#include "tools/gwtool/process.h"
#include "tools/gwtool/report.h"
#include "tools/gwtool/scan.h"

namespace fs = std::filesystem;

namespace gwtool {

namespace {

std::chrono::milliseconds ConnectTimeout(const Options& options) {
    return std::chrono::milliseconds(static_cast<long long>(options.connect_timeout_s * 1000));
}

std::vector<Device> NamedDevices(const Options& options) {
    std::vector<Device> devices;
    for (const std::string& a : options.addresses) {
        ParseIPv4(a, "--address");
        devices.push_back({a, options.family});
    }
    if (!options.addresses_file.empty()) {
        std::ifstream in(options.addresses_file, std::ios::binary);
        if (!in) {
            throw UsageError("--addresses",
                             "--addresses: '" + options.addresses_file + "' cannot be read");
        }
        std::ostringstream text;
        text << in.rdbuf();
        for (const Device& d : ParseAddressList(text.str(), options.family, "--addresses"))
            devices.push_back(d);
    }
    if (!options.from_scan.empty()) {
        const std::vector<uint32_t> targets = ParseTargets(options.from_scan, "--from-scan");
        for (const ScanHit& hit : Scan(targets, ConnectTimeout(options)))
            devices.push_back({hit.address, hit.family});
    }
    for (const Device& d : devices) {
        if (d.family.empty()) {
            throw UsageError("--family", "--family: required for " + d.address +
                                             " (the family of devices named without one)");
        }
        ParseFamily(d.family, "the family of " + d.address);
    }
    if (devices.empty() && options.from_scan.empty()) {
        throw UsageError("--addresses",
                         "--addresses: no device in '" + options.addresses_file + "'");
    }
    return devices;
}

// What one child said.
struct Outcome {
    int exit_code = kExitDifferences;
    nlohmann::json doc;  // its document, or an object with an error
    bool done = false;
};

// The progress display: one line per device, redrawn in place on a terminal;
// otherwise one line per device as it finishes.
class Progress {
public:
    Progress(Console& console, const std::vector<Device>& devices, const std::string& verb)
        : console_(console), devices_(devices), lines_(devices.size(), "waiting"), verb_(verb) {}

    void Set(size_t index, const std::string& state, bool finished) {
        lines_[index] = state;
        if (!console_.StderrIsTerminal()) {
            if (finished) {
                console_.Note("[" + std::to_string(++finished_) + "/" +
                              std::to_string(devices_.size()) + "] " + Label(index) + ": " + state +
                              "\n");
            }
            return;
        }
        std::vector<std::string> text;
        for (size_t i = 0; i < devices_.size(); ++i)
            text.push_back(Label(i) + ": " + lines_[i]);
        console_.TerminalLines(text, drawn_ ? devices_.size() : 0);
        drawn_ = true;
    }

private:
    std::string Label(size_t i) const {
        return verb_ + " " + devices_[i].address + " (" + devices_[i].family + ")";
    }

    Console& console_;
    const std::vector<Device>& devices_;
    std::vector<std::string> lines_;
    std::string verb_;
    size_t finished_ = 0;
    bool drawn_ = false;
};

std::string OutcomeText(const Outcome& o) {
    if (o.doc.contains("error") && o.doc["error"].is_object())
        return "exit " + std::to_string(o.exit_code) + ", " + o.doc["error"].value("message", "");
    return "exit " + std::to_string(o.exit_code);
}

// A temporary file name of its own for a child's output.
fs::path OutputPath() {
    static std::atomic<unsigned> counter{0};
    static const unsigned long long tag = std::random_device()();
    return fs::temp_directory_path() /
           ("gwtool-" + std::to_string(tag) + "-" + std::to_string(counter++) + ".json");
}

// Runs the commands `argv_of(i)` for the devices, at most `jobs` at once.
template <typename ArgvOf>
std::vector<Outcome> RunChildren(const std::vector<Device>& devices, int jobs, ArgvOf argv_of,
                                 Progress& progress, const std::string& running) {
    struct Running {
        size_t index;
        Child child;
        fs::path out;
    };
    std::vector<Outcome> outcomes(devices.size());
    std::vector<Running> running_now;
    size_t next = 0;
    while (next < devices.size() || !running_now.empty()) {
        while (next < devices.size() && running_now.size() < static_cast<size_t>(jobs)) {
            Running r{next, Child(), OutputPath()};
            std::string error;
            if (SpawnChild(argv_of(next), r.out.string(), &r.child, &error)) {
                running_now.push_back(r);
                progress.Set(next, running, false);
            } else {
                std::error_code ec;
                fs::remove(r.out, ec);
                outcomes[next].doc = {{"error", {{"message", error}}}};
                outcomes[next].done = true;
                progress.Set(next, OutcomeText(outcomes[next]), true);
            }
            ++next;
        }
        bool any = false;
        for (auto it = running_now.begin(); it != running_now.end();) {
            int code = -1;
            if (!ChildEnded(it->child, &code)) {
                ++it;
                continue;
            }
            any = true;
            Outcome& o = outcomes[it->index];
            std::ifstream in(it->out, std::ios::binary);
            o.doc = nlohmann::json::parse(in, nullptr, false);
            in.close();
            std::error_code ec;
            fs::remove(it->out, ec);
            o.exit_code = code;
            if (o.doc.is_discarded() || !o.doc.is_object()) {
                o.doc = {{"error",
                          {{"message",
                            "gwtool ended (exit " + std::to_string(code) + ") without a result"}}}};
                if (code < 0 || code == kExitOk)
                    o.exit_code = kExitDifferences;
            }
            o.done = true;
            progress.Set(it->index, OutcomeText(o), true);
            it = running_now.erase(it);
        }
        if (!any && !running_now.empty())
            PauseBriefly();
    }
    return outcomes;
}

// The device's check as its document has it (the update's last check).
const nlohmann::json* CheckOf(const nlohmann::json& doc) {
    for (const char* key : {"final", "after", "before"}) {
        if (doc.contains(key) && doc[key].is_object() && doc[key].contains("components"))
            return &doc[key];
    }
    return doc.contains("components") ? &doc : nullptr;
}

std::vector<std::string> SummaryRow(const Device& device, const Outcome& o) {
    const nlohmann::json* check = CheckOf(o.doc);
    std::string reachable = o.exit_code == kExitUnreachable ? "no" : "yes";
    std::string differs = "-";
    std::string serial = "-";
    if (check) {
        std::vector<std::string> parts;
        for (const nlohmann::json& c : (*check)["components"]) {
            const std::string result = c.value("result", "");
            if (result != "Same" && result != "not checked" && result != "no cable")
                parts.push_back(c.value("component", "") + " " + result);
        }
        differs = parts.empty() ? "nothing" : "";
        for (const std::string& p : parts)
            differs += (differs.empty() ? "" : ", ") + p;
        if ((*check).contains("identity") && (*check)["identity"].contains("serial_number"))
            serial = (*check)["identity"].value("serial_number", "-");
    }
    if (o.doc.contains("values") && o.doc["values"].is_object()) {
        for (auto it = o.doc["values"].begin(); it != o.doc["values"].end(); ++it) {
            if (it.key().find("SerialNum") != std::string::npos && it.value().is_string())
                serial = it.value().get<std::string>();
        }
    }
    if (o.doc.contains("error") && o.doc["error"].is_object() && o.exit_code != kExitUnreachable)
        differs = o.doc["error"].value("message", differs);
    if (serial.empty())
        serial = "-";
    return {device.address,          device.family,          reachable,
            EscapeControls(differs), EscapeControls(serial), std::to_string(o.exit_code)};
}

}  // namespace

bool ManyDevices(const Options& options) {
    return options.addresses.size() > 1 || !options.addresses_file.empty() ||
           !options.from_scan.empty();
}

int RunScan(const Options& options, Console& console, nlohmann::json& doc) {
    const std::vector<uint32_t> addresses = ParseTargets(options.targets, "TARGET");
    const std::vector<ScanHit> hits = Scan(addresses, ConnectTimeout(options));
    doc["devices"] = ScanJson(hits);
    console.Out(ScanText(hits, addresses.size()));
    return kExitOk;
}

int RunMany(const std::string& command, const Options& options, Console& console,
            nlohmann::json& doc) {
    if (options.jobs < 1 || options.jobs > 64)
        throw UsageError("--jobs", "--jobs: a number from 1 to 64");
    if (command == "update" && !options.yes) {
        throw UsageError("--yes",
                         "--yes: required to update several devices, a list or a scan "
                         "(they are updated one after the other without asking)");
    }
    const std::vector<Device> devices = NamedDevices(options);
    if (devices.empty()) {
        console.Note("gwtool: no device answered the scan\n");
        doc["devices"] = nlohmann::json::array();
        return kExitUnreachable;
    }
    const std::string self = SelfPath();
    if (self.empty())
        throw std::runtime_error("the path of gwtool itself is not known");
    auto argv = [&](const std::string& sub, const Device& d) {
        std::vector<std::string> a = {self,     sub,         "--json", "--family",
                                      d.family, "--address", d.address};
        if (!options.software_dir.empty())
            a.insert(a.end(), {"--software-dir", options.software_dir});
        if (!options.log_dir.empty())
            a.insert(a.end(), {"--log-dir", options.log_dir});
        if (sub == "update") {
            a.insert(a.end(), {"--all", "--yes", "--reboot-timeout",
                               std::to_string(options.reboot_timeout_s)});
        }
        return a;
    };
    const std::string first = command == "values" ? "values" : "check";
    Progress progress(console, devices, first);
    std::vector<Outcome> outcomes = RunChildren(
        devices, options.jobs, [&](size_t i) { return argv(first, devices[i]); }, progress,
        command == "values" ? "reading" : "checking");

    if (command == "update") {
        // One at a time (jobs 1): the staged images live in the one firmware folder.
        std::vector<size_t> chosen;
        std::vector<Device> differing;
        for (size_t i = 0; i < devices.size(); ++i) {
            const nlohmann::json& c = outcomes[i].doc;
            if (c.value("reachable", false) && c.value("differences", false)) {
                chosen.push_back(i);
                differing.push_back(devices[i]);
            }
        }
        Progress updates(console, differing, "update");
        std::vector<Outcome> updated = RunChildren(
            differing, 1, [&](size_t k) { return argv("update", differing[k]); }, updates,
            "updating");
        for (size_t k = 0; k < chosen.size(); ++k) {
            updated[k].doc["check"] = outcomes[chosen[k]].doc;
            outcomes[chosen[k]] = updated[k];
        }
    }

    std::vector<std::vector<std::string>> rows = {
        {"ADDRESS", "FAMILY", "REACHABLE", "DIFFERS", "SERIAL", "EXIT"}};
    nlohmann::json docs = nlohmann::json::array();
    int code = kExitOk;
    size_t reachable = 0, same = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        rows.push_back(SummaryRow(devices[i], outcomes[i]));
        reachable += rows.back()[2] == "yes";
        same += outcomes[i].exit_code == kExitOk;
        nlohmann::json d = outcomes[i].doc;
        d["address"] = devices[i].address;
        d["family"] = devices[i].family;
        d["exit_code"] = outcomes[i].exit_code;
        docs.push_back(d);
        code =
            MoreUrgent(code, outcomes[i].exit_code < 0 ? kExitDifferences : outcomes[i].exit_code);
    }
    doc["devices"] = docs;
    doc["totals"] = {{"devices", devices.size()},
                     {"reachable", reachable},
                     {"exit_0", same},
                     {"other", devices.size() - same}};
    console.Out(FormatTable(rows) + std::to_string(devices.size()) +
                " devices: " + std::to_string(reachable) + " reachable, " + std::to_string(same) +
                " with exit code 0, " + std::to_string(devices.size() - same) +
                " with another; exit code " + std::to_string(code) + ".\n");
    return code;
}

}  // namespace gwtool
