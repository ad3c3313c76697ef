// gwtool: text and JSON forms of what the subcommands found.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_REPORT_H
#define ZODARURUVIZI_TOOLS_GWTOOL_REPORT_H

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/gwtool/model.h"

namespace gwtool {

// Columns padded to their widest cell, each line indented by two blanks.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows);

// The check table with the identity values.
std::string CheckText(const CheckReport& report);
nlohmann::json CheckJson(const CheckReport& report);

// The component the library's update would choose, and why, in words.
struct UpdatePlan {
    bool needed = false;
    Component component = Component::LC;
    std::string reason;
};
UpdatePlan PlanUpdate(const CheckReport& report);

std::string FilesText(const std::string& software_dir, const std::vector<ComponentFiles>& files);
nlohmann::json FilesJson(const std::vector<ComponentFiles>& files);

std::string ValuesText(const std::vector<std::pair<std::string, std::string>>& values);

// "Tarvik II": what the tool says about a family the library does not contact.
std::string NotContactedText(const std::string& family);

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_REPORT_H
