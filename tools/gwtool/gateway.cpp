// gwtool: the library's exported interface, used as a host uses it.
#include "tools/gwtool/gateway.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <vector>

#include "tools/gwtool/probe.h"
#include "zodaruruvizi/zodaruruvizi.h"

namespace fs = std::filesystem;

namespace gwtool {

namespace {

const char kUnknown[] = "Unknown";
const std::chrono::milliseconds kProbeTimeout(3000);

// ---- sinks --------------------------------------------------------------------

std::mutex g_sink_mutex;
LineSink g_sink;

void ForwardMonitorLine(void*, const char* channel, const char* text) {
    WriteMonitorLog(channel, text);
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    if (g_sink)
        g_sink(channel ? channel : "", text ? text : "");
}

void ForwardError(void*, const char* file, int line) {
    WriteErrorLog(file, line);
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    if (g_sink)
        g_sink("LogError", std::string(file ? file : "?") + ":" + std::to_string(line));
}

// ---- value-store keys -----------------------------------------------------------

const char* ReleaseKey(FamilyKind kind, Component component) {
    if (kind == FamilyKind::Mir) {
        switch (component) {
            case Component::LC:
                return "Sollum_Release_Untrimmed";
            case Component::PROM:
                return "Sollum_PROM_Release_Untrimmed";
            default:
                return nullptr;
        }
    }
    if (kind != FamilyKind::Zel)
        return nullptr;
    switch (component) {
        case Component::LC:
            return "Tarvik_Release_Untrimmed";
        case Component::PROM:
            return "Tarvik_PROM_Release_Untrimmed";
        case Component::BS:
            return "Tarvik_Bootstrap_Release_Untrimmed";
        case Component::CPLD:
            return "Tarvik_CPLD_Release_Untrimmed";
        case Component::MAC:
            return "Tarvik_MAC_Firmware_Release_Untrimmed";
        case Component::R318:
            return "Tarvik_R318_Firmware_Release_Untrimmed";
    }
    return nullptr;
}

struct IdentityKey {
    const char* json_key;
    const char* store_key;
};

std::vector<IdentityKey> IdentityKeys(FamilyKind kind) {
    switch (kind) {
        case FamilyKind::Zel:
            return {{"serial_number", "Tarvik_SerialNum"},
                    {"mac_address", "Tarvik_MACAddress"},
                    {"usb_mac_address", "Tarvik_USBMACAddress"}};
        case FamilyKind::Mir:
            return {{"serial_number", "Sollum_SerialNum"}};
        case FamilyKind::TarvikII:
            break;
    }
    return {};
}

CODETYPE ToCodeType(Component component) {
    return static_cast<CODETYPE>(component);
}

Diff ToDiff(DIFFTYPE value) {
    switch (value) {
        case DT_NEWER:
            return Diff::Newer;
        case DT_OLDER:
            return Diff::Older;
        case DT_FORCED:
            return Diff::Forced;
        case DT_SAME:
            break;
    }
    return Diff::Same;
}

DIFFTYPE FieldOf(const CCodeDiffResults& results, Component component) {
    switch (component) {
        case Component::LC:
            return results.m_LC;
        case Component::PROM:
            return results.m_PROM;
        case Component::BS:
            return results.m_BS;
        case Component::CPLD:
            return results.m_CPLD;
        case Component::MAC:
            return results.m_MAC;
        case Component::R318:
            return results.m_R318;
    }
    return DT_SAME;
}

std::string Text(const CString& s) {
    return s.str();
}

}  // namespace

// ---- module-wide set-up -----------------------------------------------------

void SetProcessEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

std::string SoftwareDirectory() {
    return Text(CGatewayFileUtils::GetDefaultSoftwareLocation());
}

std::string LogDirectory() {
    CString path;
    CSystemInfo::GetLogFilesPath(path);
    return Text(path);
}

void SetLineSink(LineSink sink) {
    const bool install = static_cast<bool>(sink);
    {
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        g_sink = std::move(sink);
    }
    SetMonitorSink(install ? ForwardMonitorLine : nullptr, nullptr);
    SetErrorSink(install ? ForwardError : nullptr, nullptr);
}

int RunningWorkers() {
    return GetRunningWorkerThreadCount();
}

bool WaitForWorkers(unsigned long timeout_ms) {
    return WaitForWorkerThreads(timeout_ms);
}

FamilyKind ParseFamily(const std::string& name, const std::string& argument) {
    if (name.compare(0, 3, "ZEL") == 0)
        return FamilyKind::Zel;
    if (name == "MIR")
        return FamilyKind::Mir;
    if (name == "Tarvik II")
        return FamilyKind::TarvikII;
    throw UsageError(argument, argument + ": unknown device family '" + name +
                                   "' (a name beginning with \"ZEL\", or \"MIR\", or "
                                   "\"Tarvik II\"; case matters)");
}

std::vector<Component> SupportedComponents(FamilyKind kind) {
    switch (kind) {
        case FamilyKind::Zel:
            return UpdatePriority();
        case FamilyKind::Mir:
            return {Component::PROM, Component::LC};
        case FamilyKind::TarvikII:
            break;
    }
    return {};
}

// ---- Gateway ----------------------------------------------------------------------

class Gateway::Impl {
public:
    explicit Impl(const std::string& family) : checks(family.c_str()) {}
    CGatewayChecks checks;
    CGatewayFileUtils files;
};

Gateway::Gateway(const std::string& family)
    : impl_(new Impl(family)), family_(family), kind_(ParseFamily(family, "--family")) {}

Gateway::~Gateway() = default;

void Gateway::SetAddress(const std::string& text, uint32_t network_order) {
    address_ = text;
    impl_->checks.SetAddress(network_order);
}

bool Gateway::ReadReleaseIds(std::string* reason) {
    if (impl_->checks.SetReleaseIds(true, false))
        return true;
    if (reason) {
        const char* key = ReleaseKey(kind_, Component::LC);
        const std::string lc = key ? StoredValue(key) : std::string();
        const std::string where = family_ + " device at " + address_ + " port " +
                                  (kind_ == FamilyKind::Mir ? "9181" : "9191");
        if (lc == kUnknown) {
            *reason = "the " + where +
                      " accepted the connection but gave no usable reply to the release query "
                      "(an error status, a malformed reply or none within its timeout)";
        } else {
            std::string detail;
            const uint16_t port = kind_ == FamilyKind::Mir ? 9181 : 9191;
            switch (ProbeConnection(address_, port, kProbeTimeout, &detail)) {
                case Reach::Refused:
                    *reason = "the " + where +
                              " refused the connection (nothing listens there: the device is "
                              "off, resetting, or not a " +
                              family_ + " device)";
                    break;
                case Reach::Silent:
                    *reason = "no answer to connection attempts to the " + where +
                              " (no device at that address, or a firewall drops them)";
                    break;
                case Reach::Accepted:
                    *reason = "could not connect to the " + where +
                              " (it accepts connections now: try again)";
                    break;
                case Reach::Failed:
                    *reason = "could not connect to the " + where + ": " + detail;
                    break;
            }
        }
    }
    return false;
}

CheckReport Gateway::Check(bool read_release_ids) {
    CheckReport report;
    report.family = family_;
    report.kind = kind_;
    report.address = address_;
    report.software_dir = SoftwareDirectory();
    report.contacted = kind_ != FamilyKind::TarvikII;
    if (read_release_ids && report.contacted) {
        report.reachable = ReadReleaseIds(&report.unreachable_reason);
    }
    CCodeDiffResults results = impl_->checks.PerformAllChecks();
    report.summary = Text(results.ToString());
    for (int i = 0; i < 6; ++i) {
        report.results[i] = FieldOf(results, static_cast<Component>(i));
    }

    // The library compares the active cables and the CPLD only while everything
    // before them (bootstrap, PROM, LC, then MAC, then R318) is the same.
    bool earlier_differs = false;
    auto differs = [&](Component c) { return FieldOf(results, c) != DT_SAME; };
    earlier_differs = differs(Component::BS) || differs(Component::PROM) || differs(Component::LC);
    const bool mac_checked = !earlier_differs;
    earlier_differs = earlier_differs || differs(Component::MAC);
    const bool r318_checked = !earlier_differs;
    earlier_differs = earlier_differs || differs(Component::R318);
    const bool cpld_checked = !earlier_differs;

    for (Component component : SupportedComponents(kind_)) {
        ComponentStatus row = Row(component);
        row.result = ToDiff(FieldOf(results, component));
        if (component == Component::MAC)
            row.checked = mac_checked;
        if (component == Component::R318)
            row.checked = r318_checked;
        if (component == Component::CPLD)
            row.checked = cpld_checked;
        report.components.push_back(row);
    }
    for (const IdentityKey& key : IdentityKeys(kind_)) {
        report.identity.emplace_back(key.json_key, StoredValue(key.store_key));
    }
    if (kind_ == FamilyKind::Zel)
        report.pc_custom_cpld = CustomCpld();
    return report;
}

ComponentStatus Gateway::Row(Component component) {
    ComponentStatus row;
    row.component = component;
    row.device_release = DeviceRelease(component);
    row.pc_file = (component == Component::MAC || component == Component::R318)
                      ? CableFileName(component)
                      : ShippedFileName(component);
    row.pc_release = FileRelease(row.pc_file);
    return row;
}

void Gateway::StartUpdate(const CheckReport& report) {
    CCodeDiffResults results;
    results.m_LC = static_cast<DIFFTYPE>(report.results[0]);
    results.m_PROM = static_cast<DIFFTYPE>(report.results[1]);
    results.m_BS = static_cast<DIFFTYPE>(report.results[2]);
    results.m_CPLD = static_cast<DIFFTYPE>(report.results[3]);
    results.m_MAC = static_cast<DIFFTYPE>(report.results[4]);
    results.m_R318 = static_cast<DIFFTYPE>(report.results[5]);
    impl_->checks.PerformUpdate(results);
}

std::string Gateway::DeviceRelease(Component component) {
    const char* key = ReleaseKey(kind_, component);
    return key ? StoredValue(key) : std::string(kUnknown);
}

std::string Gateway::StoredValue(const std::string& key) {
    CString value;
    impl_->checks.ReadStoredValue(key.c_str(), value);
    return Text(value);
}

std::vector<std::pair<std::string, std::string>> Gateway::StoredValues() {
    std::vector<char> buffer(1 << 20, '\0');
    impl_->checks.ReadStoredValues(buffer.data(), static_cast<int>(buffer.size()));
    std::vector<std::pair<std::string, std::string>> values;
    const std::string dump(buffer.data());
    const std::string open = "[T: ";
    const std::string middle = "] - [V: ";
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t end = dump.find('\n', pos);
        if (end == std::string::npos)
            end = dump.size();
        const std::string line = dump.substr(pos, end - pos);
        pos = end + 1;
        const size_t split = line.find(middle);
        if (line.compare(0, open.size(), open) != 0 || split == std::string::npos ||
            line.back() != ']') {
            continue;
        }
        const size_t value_start = split + middle.size();
        values.emplace_back(line.substr(open.size(), split - open.size()),
                            line.substr(value_start, line.size() - 1 - value_start));
    }
    return values;
}

std::string Gateway::ShippedFileName(Component component) {
    if (kind_ == FamilyKind::TarvikII)
        return std::string();
    return Text(impl_->checks.GetFilename(CString(), ToCodeType(component), true));
}

std::string Gateway::StagedFileName(Component component) {
    if (kind_ == FamilyKind::TarvikII)
        return std::string();
    return Text(impl_->checks.GetFilename(CString(), ToCodeType(component), false));
}

std::string Gateway::CableFileName(Component component) {
    if (component != Component::MAC && component != Component::R318)
        return std::string();
    return Text(impl_->files.GetHexFilename(ToCodeType(component)));
}

std::optional<std::string> Gateway::FileRelease(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    CString version;
    bool found = false;
    if (kind_ == FamilyKind::Zel) {
        found = impl_->files.GetTarvikVersionFromFile(CString(name), version);
    } else if (kind_ == FamilyKind::Mir) {
        found = impl_->files.GetSollumVersionFromFile(CString(name), version);
    }
    if (!found)
        return std::nullopt;
    return Text(version);
}

std::vector<ComponentFiles> Gateway::Files(const std::vector<Component>& components) {
    const fs::path dir(SoftwareDirectory());
    std::vector<ComponentFiles> result;
    for (Component component : components) {
        ComponentFiles entry;
        entry.component = component;
        auto add = [&](const char* role, const std::string& name) {
            if (name.empty())
                return;
            FileStatus file;
            file.role = role;
            file.name = name;
            std::error_code ec;
            file.present = fs::is_regular_file(dir / name, ec);
            file.release = FileRelease(name);
            entry.files.push_back(file);
        };
        add("shipped", ShippedFileName(component));
        add("staged", StagedFileName(component));
        add("cable", CableFileName(component));
        result.push_back(entry);
    }
    return result;
}

std::string Gateway::CustomCpld() {
    return Text(impl_->checks.GetCustomCPLDFileName());
}

void Gateway::SetCustomCpld(const std::string& name) {
    impl_->checks.SetCustomCPLDFileName(CString(name));
}

bool Gateway::DeviceHasCustomCpld() {
    return impl_->checks.DeviceHasCustomCPLD();
}

}  // namespace gwtool
