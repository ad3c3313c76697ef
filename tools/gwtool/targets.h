// gwtool: the addresses a scan or a many-device command works on, parsed from
// text (plain code, no system calls).
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_TARGETS_H
#define ZODARURUVIZI_TOOLS_GWTOOL_TARGETS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gwtool {

// The most addresses one scan takes.
const size_t kMaxScanAddresses = 1024;

// Addresses in host order from targets: an IPv4 address, a range of the last
// part ("192.0.2.10-40") or a CIDR block ("192.0.2.0/28", network and
// broadcast addresses left out below /31). In the order given, without
// repeats. Throws UsageError (naming `argument`) for bad text or more than
// kMaxScanAddresses addresses.
std::vector<uint32_t> ParseTargets(const std::vector<std::string>& targets,
                                   const std::string& argument);

std::string AddressText(uint32_t address);  // host order to dotted text

struct Device {
    std::string address;
    std::string family;  // as given; checked by the command that uses it
};

// Devices from an addresses file's text: "ADDRESS [FAMILY]" per line, the
// family being the rest of the line trimmed (`default_family` when none), '#'
// starting a comment. Throws UsageError naming `argument` and the line for a
// bad address.
std::vector<Device> ParseAddressList(const std::string& text, const std::string& default_family,
                                     const std::string& argument);

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_TARGETS_H
