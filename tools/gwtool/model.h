// gwtool: plain types shared by the subcommands, free of the library's headers.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_MODEL_H
#define ZODARURUVIZI_TOOLS_GWTOOL_MODEL_H

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace gwtool {

// Exit codes of every subcommand.
enum ExitCode : int {
    kExitOk = 0,           // everything "Same", or the update was verified
    kExitDifferences = 1,  // differences remain, or the update failed
    kExitUsage = 2,        // bad arguments
    kExitUnreachable = 3,  // the device could not be reached
    kExitPending = 4,      // the device did not come back in time after the update
};

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

// One row of the check table.
struct ComponentStatus {
    Component component = Component::LC;
    std::string device_release;             // the value store's untrimmed value
    std::string pc_file;                    // the file the check reads
    std::optional<std::string> pc_release;  // none: no file or no release in it
    Diff result = Diff::Same;
    bool checked = true;  // false: skipped because an earlier component differs
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

    bool DifferencesFound() const;
    const ComponentStatus* Find(Component component) const;
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
