// gwtool: scans and many devices in one command. Each device is handled by a
// child process of gwtool itself; the results are summed up here.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_FLEET_H
#define ZODARURUVIZI_TOOLS_GWTOOL_FLEET_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/gwtool/commands.h"
#include "tools/gwtool/targets.h"

namespace gwtool {

// True when the options name more than one device, an addresses file or a scan.
bool ManyDevices(const Options& options);

// `gwtool scan`.
int RunScan(const Options& options, Console& console, nlohmann::json& doc);

// check, values or update (`command`) of every device the options name: one
// summary row per device and the totals, `doc["devices"]` the devices' own
// documents; the exit code is the most urgent of theirs.
int RunMany(const std::string& command, const Options& options, Console& console,
            nlohmann::json& doc);

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_FLEET_H
