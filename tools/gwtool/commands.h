// gwtool: the subcommands.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_COMMANDS_H
#define ZODARURUVIZI_TOOLS_GWTOOL_COMMANDS_H

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/gwtool/console.h"
#include "tools/gwtool/gateway.h"
#include "tools/gwtool/model.h"

namespace gwtool {

struct Options {
    std::string family;
    std::string address;
    bool json = false;
    bool verbose = false;
    bool yes = false;
    bool all = false;          // update: every component, one per round
    bool clean = false;        // files: remove stale staged files
    std::string software_dir;  // empty: GATEWAY_SOFTWARE_DIR
    std::string log_dir;       // empty: GATEWAY_LOG_DIR
    double reboot_timeout_s = 120.0;
    std::string code_type;                // files: one component only
    std::optional<std::string> cpld_set;  // cpld --set
    // Several devices (check, values, update) and scans.
    std::vector<std::string> addresses;  // every --address
    std::string addresses_file;          // --addresses
    std::vector<std::string> from_scan;  // --from-scan targets
    std::vector<std::string> targets;    // scan targets
    int jobs = 8;
    double connect_timeout_s = 0.5;
};

// Each fills `doc` (the JSON document, or the data behind the text) and returns
// the exit code; bad arguments throw UsageError.
int RunCheck(const Options& options, Console& console, nlohmann::json& doc);
int RunUpdate(const Options& options, Console& console, nlohmann::json& doc);
int RunValues(const Options& options, Console& console, nlohmann::json& doc);
int RunFiles(const Options& options, Console& console, nlohmann::json& doc);
int RunCpld(const Options& options, Console& console, nlohmann::json& doc);
int RunDemo(const Options& options, Console& console, nlohmann::json& doc);

// Applies --software-dir and --log-dir to the process environment (before the
// library is used) and makes sure the log directory exists.
void ApplyLocations(const Options& options);

// Checks the firmware folder the library reads: missing, not a folder or
// unreadable throws UsageError naming the path; an empty folder is a warning.
void CheckSoftwareFolder(const Options& options, Console& console);

// While alive: shows the library's monitor lines (--verbose) and keeps its
// error lines (channel "RT_COMMS_E" and internal-error reports) for Warn().
// Every line still reaches the library's monitor log.
class MonitorRoute {
public:
    explicit MonitorRoute(Console& console);
    ~MonitorRoute();
    MonitorRoute(const MonitorRoute&) = delete;
    MonitorRoute& operator=(const MonitorRoute&) = delete;

    // Shows the error lines kept so far as warnings, the known ones in words;
    // `report` (when given) decides which lines say nothing new.
    void Warn(const CheckReport* report);

private:
    Console& console_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> lines_;  // channel, text
};

// A library error line in words; empty when it says nothing the check does not
// show already (`report` may be null).
std::string LibraryLineText(const std::string& channel, const std::string& text,
                            const CheckReport* report);

// One update as `gwtool update` performs it after the check (and after any
// confirmation): start, progress, wait, verify. Fills `doc` with the update,
// its progress and the check after it, and *after (when given) with that check
// when the device answered again; returns the exit code (0 verified or nothing
// to update, 1 failed, 4 pending, 5 when a component is unknown afterwards).
int PerformUpdate(Gateway& gateway, Console& console, const CheckReport& before,
                  double reboot_timeout_s, nlohmann::json& doc, CheckReport* after = nullptr);

// Repeats check, update, wait and verify, one component per round and at most
// one round per component, until nothing differs or a round does not verify.
// Appends each round's document to `updates`; *final_report gets the last
// check. Returns that check's exit code, or the failed round's.
int UpdateUntilSame(Gateway& gateway, Console& console, CheckReport report, double reboot_timeout_s,
                    nlohmann::json& updates, CheckReport* final_report);

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_COMMANDS_H
