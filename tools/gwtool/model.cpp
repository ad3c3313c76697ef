#include "tools/gwtool/model.h"

namespace gwtool {

const char kExitCodeHelp[] =
    "Exit codes:\n"
    "  0  everything is \"Same\", or the update was verified\n"
    "  1  differences remain, or the update failed\n"
    "  2  usage error (bad or missing argument)\n"
    "  3  the device could not be reached\n"
    "  4  the update is pending: the device did not answer again within --reboot-timeout";

const std::vector<Component>& UpdatePriority() {
    static const std::vector<Component> kOrder = {Component::BS,  Component::PROM,
                                                  Component::LC,  Component::CPLD,
                                                  Component::MAC, Component::R318};
    return kOrder;
}

const char* ComponentCode(Component component) {
    switch (component) {
        case Component::LC:
            return "LC";
        case Component::PROM:
            return "PROM";
        case Component::BS:
            return "BS";
        case Component::CPLD:
            return "CPLD";
        case Component::MAC:
            return "MAC";
        case Component::R318:
            return "R318";
    }
    return "?";
}

const char* ComponentDescription(Component component) {
    switch (component) {
        case Component::LC:
            return "loaded code";
        case Component::PROM:
            return "PROM";
        case Component::BS:
            return "bootstrap";
        case Component::CPLD:
            return "CPLD";
        case Component::MAC:
            return "active cable";
        case Component::R318:
            return "R318 active cable";
    }
    return "?";
}

const char* DiffName(Diff diff) {
    switch (diff) {
        case Diff::Same:
            return "Same";
        case Diff::Newer:
            return "Newer";
        case Diff::Older:
            return "Older";
        case Diff::Forced:
            return "Forced";
    }
    return "?";
}

bool CheckReport::DifferencesFound() const {
    for (int r : results) {
        if (r != 0)
            return true;
    }
    return false;
}

const ComponentStatus* CheckReport::Find(Component component) const {
    for (const ComponentStatus& row : components) {
        if (row.component == component)
            return &row;
    }
    return nullptr;
}

bool IsRealRelease(const std::string& value) {
    return !value.empty() && value != "Unknown" && value != "NotConnected";
}

}  // namespace gwtool
