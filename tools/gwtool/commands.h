// gwtool: the subcommands.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_COMMANDS_H
#define ZODARURUVIZI_TOOLS_GWTOOL_COMMANDS_H

#include <optional>
#include <string>

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
    std::string software_dir;  // empty: GATEWAY_SOFTWARE_DIR
    std::string log_dir;       // empty: GATEWAY_LOG_DIR
    double reboot_timeout_s = 120.0;
    std::string code_type;                // files: one component only
    std::optional<std::string> cpld_set;  // cpld --set
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

// Routes the library's monitor lines to the console while alive (--verbose).
class MonitorRoute {
public:
    explicit MonitorRoute(Console& console);
    ~MonitorRoute();
    MonitorRoute(const MonitorRoute&) = delete;
    MonitorRoute& operator=(const MonitorRoute&) = delete;

private:
    bool installed_;
};

// One update as `gwtool update` performs it after the check (and after any
// confirmation): start, progress, wait, verify. Fills `doc` with the update,
// its progress and the check after it, and *after (when given) with that check
// when the device answered again; returns the exit code (0 verified or nothing
// to update, 1 failed, 4 pending).
int PerformUpdate(Gateway& gateway, Console& console, const CheckReport& before,
                  double reboot_timeout_s, nlohmann::json& doc, CheckReport* after = nullptr);

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_COMMANDS_H
