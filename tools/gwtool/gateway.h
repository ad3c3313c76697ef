// gwtool: the library as a host sees it, behind plain C++ types.
//
// This is the only part of the tool that includes the library's header (whose
// Winsock names must not meet the C library's socket headers); everything else
// talks to a device through this interface.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_GATEWAY_H
#define ZODARURUVIZI_TOOLS_GWTOOL_GATEWAY_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/gwtool/model.h"

namespace gwtool {

// ---- module-wide set-up -----------------------------------------------------

// Sets a variable of the process environment, where the library reads it.
void SetProcessEnvironment(const std::string& name, const std::string& value);
// Where the library reads firmware files and writes its logs, right now.
std::string SoftwareDirectory();
std::string LogDirectory();

// Receives every monitor line (channel, text) and every internal-error report
// ("LogError", "file:line") from then on, after the line has gone to the
// library's monitor log as without a sink; an empty function restores the
// library's default sinks. Lines may arrive on the update worker.
using LineSink = std::function<void(const std::string& channel, const std::string& text)>;
void SetLineSink(LineSink sink);

// The update worker's state.
int RunningWorkers();
bool WaitForWorkers(unsigned long timeout_ms);

// ---- one device ---------------------------------------------------------------

// A family name as the library selects it ("ZEL..." / "MIR" / "Tarvik II");
// throws UsageError naming `argument` for any other.
FamilyKind ParseFamily(const std::string& name, const std::string& argument);
// Components the family has (none for Tarvik II), in update-priority order.
std::vector<Component> SupportedComponents(FamilyKind kind);

class Gateway {
public:
    // `family` must have passed ParseFamily.
    explicit Gateway(const std::string& family);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    FamilyKind kind() const { return kind_; }
    const std::string& family() const { return family_; }
    void SetAddress(const std::string& text, uint32_t network_order);
    const std::string& address() const { return address_; }

    // Reads the release identifiers into the value store; false when the device
    // did not answer (then *reason says why, if given).
    bool ReadReleaseIds(std::string* reason = nullptr);
    // Optionally reads the release identifiers, then runs every check.
    CheckReport Check(bool read_release_ids);
    // Starts the update the library chooses for these results (worker thread).
    void StartUpdate(const CheckReport& report);

    // The device's release of a component as the value store holds it (the
    // untrimmed key); "Unknown" when the family has no such component.
    std::string DeviceRelease(Component component);
    std::string StoredValue(const std::string& key);
    std::vector<std::pair<std::string, std::string>> StoredValues();

    // File names the library uses for a component; empty when it has none.
    std::string ShippedFileName(Component component);
    std::string StagedFileName(Component component);
    std::string CableFileName(Component component);  // MAC and R318 only
    std::vector<ComponentFiles> Files(const std::vector<Component>& components);

    std::string CustomCpld();
    void SetCustomCpld(const std::string& name);
    bool DeviceHasCustomCpld();

private:
    std::optional<std::string> FileRelease(const std::string& name);
    ComponentStatus Row(Component component);

    class Impl;
    std::unique_ptr<Impl> impl_;
    std::string family_;
    FamilyKind kind_;
    std::string address_;
};

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_GATEWAY_H
