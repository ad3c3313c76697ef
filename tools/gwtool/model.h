// gwtool: plain types shared by the subcommands, free of the library's headers.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_MODEL_H
#define ZODARURUVIZI_TOOLS_GWTOOL_MODEL_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace gwtool {

// Exit codes of every subcommand.
enum ExitCode : int {
    kExitOk = 0,             // everything "Same", or the update was verified
    kExitDifferences = 1,    // differences remain, or the update failed or was declined
    kExitUsage = 2,          // bad arguments, or an unusable firmware folder
    kExitUnreachable = 3,    // nothing could be read from the device
    kExitPending = 4,        // the device did not come back in time after the update
    kExitIncomplete = 5,     // a component other than the cables was not read or has no PC file
    kExitInterrupted = 130,  // stopped by Ctrl-C
};

// The more urgent of two exit codes: 130 > 2 > 3 > 5 > 4 > 1 > 0.
int MoreUrgent(int a, int b);

// The version of the JSON documents' layout.
const int kSchemaVersion = 2;

// The help text's description of the exit codes.
extern const char kExitCodeHelp[];

// A bad argument: the message names it; exit code 2.
class UsageError : public std::runtime_error {
public:
    UsageError(std::string argument, const std::string& message)
        : std::runtime_error(message), argument_(std::move(argument)) {}
    const std::string& argument() const { return argument_; }

private:
    std::string argument_;
};

// Strict dotted-quad IPv4 text to the network-order value the library takes;
// throws UsageError naming `argument` otherwise.
uint32_t ParseIPv4(const std::string& text, const std::string& argument);

// Seconds as text: a plain decimal number from 0 to 86400; throws UsageError
// naming `argument` otherwise.
double ParseSeconds(const std::string& text, const std::string& argument);

// Text for a terminal: control characters (other than a line end) and DEL as
// \xNN.
std::string EscapeControls(const std::string& text);

enum class FamilyKind { Zel, Mir, TarvikII };

// A firmware component, in the library's code-type numbering.
enum class Component : int { LC = 0, PROM = 1, BS = 2, CPLD = 3, MAC = 4, R318 = 5 };

// The order in which the library chooses the component to update.
const std::vector<Component>& UpdatePriority();
// "LC", "PROM", "BS", "CPLD", "MAC", "R318".
const char* ComponentCode(Component component);
// "loaded code", "PROM", "bootstrap", "CPLD", "active cable", "R318 active cable".
const char* ComponentDescription(Component component);

// One comparison outcome, as the library's results name them.
enum class Diff : int { Same = 0, Newer = 1, Older = 2, Forced = 3 };
const char* DiffName(Diff diff);  // "Same", "Newer", "Older", "Forced"

// What the tool says about a component: the library's comparison where it is
// meaningful, otherwise why there is none.
enum class Result {
    Same,
    Newer,
    Older,
    Forced,
    NotRead,     // the device's release is "Unknown" or "NotConnected"
    NoPcFile,    // no PC file, or a file without a release (never the CPLD)
    NoCable,     // an active cable reading "Unknown": none of that type attached
    NotChecked,  // skipped by the library because an earlier component differs
};
const char* ResultName(Result result);  // "Same", ..., "not read", "no PC file", ...
bool IsCable(Component component);      // MAC or R318

// One row of the check table.
struct ComponentStatus {
    Component component = Component::LC;
    std::string device_release;             // the value store's untrimmed value
    std::string pc_file;                    // the file the check reads
    std::optional<std::string> pc_release;  // none: no file or no release in it
    Diff result = Diff::Same;               // the library's word
    bool checked = true;                    // false: skipped because an earlier component differs

    // The tool's word (see Result).
    Result Shown() const;
};

// What one check found.
struct CheckReport {
    std::string family;
    FamilyKind kind = FamilyKind::Zel;
    std::string address;       // as given
    std::string software_dir;  // where the PC's files are read
    bool contacted = true;     // false for a family the library does not contact
    bool reachable = true;     // the release identifiers were read
    std::string unreachable_reason;
    std::vector<ComponentStatus> components;                    // in update-priority order
    std::vector<std::pair<std::string, std::string>> identity;  // JSON key, value
    std::optional<std::string> pc_custom_cpld;  // ZEL: the custom CPLD set on the PC
    std::string summary;                        // the library's text of the results
    int results[6] = {0, 0, 0, 0, 0, 0};        // by code type, as the library gave them

    bool DifferencesFound() const;  // by the library's results
    const ComponentStatus* Find(Component component) const;
    // Components other than the cables that are "not read" or have "no PC file".
    std::vector<Component> Incomplete() const;
    // Components whose result is Newer, Older or Forced, in update-priority order.
    std::vector<Component> Differing() const;
    // 0, 1, 3 or 5 as the check alone decides it.
    int ExitCode() const;
};

// One file of the software directory.
struct FileStatus {
    std::string role;  // "shipped", "staged", "cable"
    std::string name;
    bool present = false;
    std::optional<std::string> release;
};

struct ComponentFiles {
    Component component = Component::LC;
    std::vector<FileStatus> files;
};

// "Unknown", "NotConnected" or empty: not a release the device reported.
bool IsRealRelease(const std::string& value);

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_MODEL_H
