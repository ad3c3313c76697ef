#include "tools/gwtool/report.h"

#include <algorithm>

namespace gwtool {

namespace {

std::string OrNone(const std::optional<std::string>& value, const char* none) {
    return value ? *value : std::string(none);
}

std::string ResultText(const ComponentStatus& row) {
    const Result shown = row.Shown();
    if (shown == Result::NotChecked)
        return "not checked (an earlier component differs)";
    return ResultName(shown);
}

const char* IdentityLabel(const std::string& key) {
    if (key == "serial_number")
        return "Serial number";
    if (key == "mac_address")
        return "MAC address";
    if (key == "usb_mac_address")
        return "USB MAC address";
    return key.c_str();
}

// "BS (bootstrap)", or just the code where the description says no more.
std::string ComponentLabel(Component component) {
    const std::string code = ComponentCode(component);
    const std::string description = ComponentDescription(component);
    return code == description ? code : code + " (" + description + ")";
}

std::string JoinCodes(const std::vector<Component>& components) {
    std::string out;
    for (Component c : components) {
        if (!out.empty())
            out += ", ";
        out += ComponentCode(c);
    }
    return out;
}

}  // namespace

std::string FormatTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size())
            widths.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line = " ";
        for (size_t i = 0; i < row.size(); ++i) {
            line += " " + row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - row[i].size() + 1, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string NotContactedText(const std::string& family) {
    return "The library does not contact " + family +
           " devices and reports them up to date by design: nothing was read or compared.\n";
}

std::string CheckText(const CheckReport& report) {
    if (!report.contacted)
        return NotContactedText(report.family);
    std::string out = report.family + " device";
    if (!report.address.empty())
        out += " at " + report.address;
    out += " (firmware files in " + report.software_dir + ")\n";
    if (!report.reachable) {
        out += "  The release identifiers could not be read: " + report.unreachable_reason + ".\n";
    }
    std::vector<std::vector<std::string>> rows = {
        {"Component", "Device release", "PC release", "PC file", "Result"}};
    for (const ComponentStatus& row : report.components) {
        rows.push_back({ComponentLabel(row.component), row.device_release,
                        OrNone(row.pc_release, "(none)"), row.pc_file, ResultText(row)});
    }
    out += FormatTable(rows);
    std::vector<std::vector<std::string>> identity;
    for (const auto& item : report.identity) {
        identity.push_back({std::string(IdentityLabel(item.first)) + ":", item.second});
    }
    if (report.pc_custom_cpld) {
        identity.push_back({"Custom CPLD on the PC:", report.pc_custom_cpld->empty()
                                                          ? std::string("none (standard)")
                                                          : *report.pc_custom_cpld});
    }
    if (!identity.empty())
        out += "\n" + FormatTable(identity);

    if (!report.reachable)
        return out;
    const std::vector<Component> incomplete = report.Incomplete();
    const std::vector<Component> differing = report.Differing();
    if (!incomplete.empty()) {
        std::string known;
        for (Component c : incomplete) {
            known += std::string(known.empty() ? "" : ", ") + ComponentCode(c) + " " +
                     ResultName(report.Find(c)->Shown());
        }
        out += "\nNot known: " + known + ".\n";
    }
    if (!differing.empty()) {
        out += (incomplete.empty() ? "\n" : "") + std::string("Differing: ") +
               JoinCodes(differing) + ".\n";
    } else if (incomplete.empty()) {
        out += "\nEvery component is Same.\n";
    }
    return out;
}

nlohmann::json CheckJson(const CheckReport& report) {
    nlohmann::json j;
    j["family"] = report.family;
    j["address"] = report.address.empty() ? nlohmann::json() : nlohmann::json(report.address);
    j["software_dir"] = report.software_dir;
    j["contacted"] = report.contacted;
    j["reachable"] = report.contacted ? nlohmann::json(report.reachable) : nlohmann::json();
    if (!report.reachable)
        j["unreachable_reason"] = report.unreachable_reason;
    nlohmann::json components = nlohmann::json::array();
    for (const ComponentStatus& row : report.components) {
        nlohmann::json c;
        c["component"] = ComponentCode(row.component);
        c["description"] = ComponentDescription(row.component);
        c["device_release"] = row.device_release;
        c["pc_file"] = row.pc_file;
        c["pc_release"] = row.pc_release ? nlohmann::json(*row.pc_release) : nlohmann::json();
        c["result"] = ResultName(row.Shown());
        c["library_result"] = DiffName(row.result);
        c["checked"] = row.checked;
        components.push_back(c);
    }
    j["components"] = components;
    nlohmann::json identity = nlohmann::json::object();
    for (const auto& item : report.identity)
        identity[item.first] = item.second;
    j["identity"] = identity;
    if (report.pc_custom_cpld)
        j["pc_custom_cpld"] = *report.pc_custom_cpld;
    j["differences"] = !report.Differing().empty();
    nlohmann::json incomplete = nlohmann::json::array();
    for (Component c : report.Incomplete())
        incomplete.push_back(ComponentCode(c));
    j["incomplete"] = incomplete;
    j["summary"] = report.summary;
    return j;
}

UpdatePlan PlanUpdate(const CheckReport& report) {
    UpdatePlan plan;
    for (Component c : UpdatePriority()) {
        const ComponentStatus* row = report.Find(c);
        if (!row || row->result == Diff::Same)
            continue;
        plan.needed = true;
        plan.component = c;
        const std::string code = ComponentCode(c);
        const std::string pc = OrNone(row->pc_release, "(none)");
        if (c == Component::CPLD) {
            const std::string pc_cpld = report.pc_custom_cpld ? *report.pc_custom_cpld : "";
            if (pc_cpld.empty()) {
                plan.reason = "CPLD is " + std::string(DiffName(row->result)) +
                              ": the device has a custom CPLD (" + row->device_release +
                              ") but the PC sets none";
            } else {
                plan.reason = "CPLD is " + std::string(DiffName(row->result)) +
                              ": the PC sets the custom CPLD \"" + pc_cpld +
                              "\" but the device's CPLD is " + row->device_release;
            }
            return plan;
        }
        std::string why;
        switch (row->result) {
            case Diff::Older:
                why = "the device runs " + row->device_release + ", older than (or not " +
                      "comparable with) the PC's " + pc;
                break;
            case Diff::Newer:
                why = "the device runs " + row->device_release + ", newer than the PC's " + pc +
                      "; the update reloads the PC's release";
                break;
            case Diff::Forced:
                why = "the device runs a manufacturing release (" + row->device_release +
                      ") that must be reloaded with the PC's " + pc;
                break;
            case Diff::Same:
                break;
        }
        plan.reason =
            code + " is " + DiffName(row->result) + ": " + why + " (" + row->pc_file + ")";
        return plan;
    }
    return plan;
}

std::string FilesText(const std::string& software_dir, const std::vector<ComponentFiles>& files) {
    std::string out = "Firmware files in " + software_dir + "\n";
    std::vector<std::vector<std::string>> rows = {
        {"Component", "Role", "File", "Present", "Release"}};
    for (const ComponentFiles& entry : files) {
        for (const FileStatus& file : entry.files) {
            rows.push_back({ComponentCode(entry.component), file.role, file.name,
                            file.present ? "yes" : "no", OrNone(file.release, "-")});
        }
    }
    return out + FormatTable(rows);
}

nlohmann::json FilesJson(const std::vector<ComponentFiles>& files) {
    nlohmann::json list = nlohmann::json::array();
    for (const ComponentFiles& entry : files) {
        nlohmann::json c;
        c["component"] = ComponentCode(entry.component);
        c["description"] = ComponentDescription(entry.component);
        nlohmann::json items = nlohmann::json::array();
        for (const FileStatus& file : entry.files) {
            items.push_back(
                {{"role", file.role},
                 {"name", file.name},
                 {"present", file.present},
                 {"release", file.release ? nlohmann::json(*file.release) : nlohmann::json()}});
        }
        c["files"] = items;
        list.push_back(c);
    }
    return list;
}

std::string ValuesText(const std::vector<std::pair<std::string, std::string>>& values) {
    if (values.empty())
        return "  (the value store is empty)\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto& item : values)
        rows.push_back({item.first, item.second});
    return FormatTable(rows);
}

}  // namespace gwtool
