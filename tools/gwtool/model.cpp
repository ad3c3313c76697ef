#include "tools/gwtool/model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gwtool {

const char kExitCodeHelp[] =
    "Exit codes:\n"
    "  0  everything is \"Same\", or the update was verified\n"
    "  1  differences remain, or the update failed or was declined\n"
    "  2  usage error (bad or missing argument), or an unusable firmware folder\n"
    "  3  nothing could be read from the device\n"
    "  4  the update is pending: the device did not answer again within --reboot-timeout\n"
    "  5  a component other than the active cables was not read or has no PC file\n"
    "  130  interrupted (Ctrl-C)\n"
    "When several apply, the first of 130, 2, 3, 5, 4, 1 is given.";

int MoreUrgent(int a, int b) {
    static const int kOrder[] = {kExitInterrupted, kExitUsage,   kExitUnreachable,
                                 kExitIncomplete,  kExitPending, kExitDifferences};
    for (int code : kOrder) {
        if (a == code || b == code)
            return code;
    }
    return a != kExitOk ? a : b;
}

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

const char* ResultName(Result result) {
    switch (result) {
        case Result::Same:
            return "Same";
        case Result::Newer:
            return "Newer";
        case Result::Older:
            return "Older";
        case Result::Forced:
            return "Forced";
        case Result::NotRead:
            return "not read";
        case Result::NoPcFile:
            return "no PC file";
        case Result::NoCable:
            return "no cable";
        case Result::NotChecked:
            return "not checked";
    }
    return "?";
}

bool IsCable(Component component) {
    return component == Component::MAC || component == Component::R318;
}

Result ComponentStatus::Shown() const {
    if (!IsRealRelease(device_release)) {
        // The library records an absent cable of a type as "Unknown".
        return IsCable(component) && device_release == "Unknown" ? Result::NoCable
                                                                 : Result::NotRead;
    }
    if (!pc_release && component != Component::CPLD)
        return Result::NoPcFile;
    if (!checked)
        return Result::NotChecked;
    return static_cast<Result>(static_cast<int>(result));
}

std::vector<Component> CheckReport::Incomplete() const {
    std::vector<Component> out;
    for (const ComponentStatus& row : components) {
        const Result shown = row.Shown();
        if (!IsCable(row.component) && (shown == Result::NotRead || shown == Result::NoPcFile))
            out.push_back(row.component);
    }
    return out;
}

std::vector<Component> CheckReport::Differing() const {
    std::vector<Component> out;
    for (Component c : UpdatePriority()) {
        const ComponentStatus* row = Find(c);
        if (!row)
            continue;
        const Result shown = row->Shown();
        if (shown == Result::Newer || shown == Result::Older || shown == Result::Forced)
            out.push_back(c);
    }
    return out;
}

int CheckReport::ExitCode() const {
    if (!contacted)
        return kExitOk;
    if (!reachable)
        return kExitUnreachable;
    if (!Incomplete().empty())
        return kExitIncomplete;
    return Differing().empty() ? kExitOk : kExitDifferences;
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

uint32_t ParseIPv4(const std::string& text, const std::string& argument) {
    const std::string bad = argument + ": '" + text +
                            "' is not an IPv4 address (four decimal numbers 0-255 separated by "
                            "dots, e.g. 127.0.0.5)";
    unsigned char bytes[4] = {0, 0, 0, 0};
    size_t start = 0;
    int parts = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        std::string part =
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 3 || parts == 4)
            throw UsageError(argument, bad);
        for (char c : part) {
            if (c < '0' || c > '9')
                throw UsageError(argument, bad);
        }
        if (part.size() > 1 && part[0] == '0') {
            throw UsageError(argument, argument + ": '" + text +
                                           "' has a number with a leading zero (ambiguous: "
                                           "octal or decimal); write it without");
        }
        const int value = std::stoi(part);
        if (value > 255)
            throw UsageError(argument, bad);
        bytes[parts++] = static_cast<unsigned char>(value);
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (parts != 4)
        throw UsageError(argument, bad);
    uint32_t address = 0;
    std::memcpy(&address, bytes, sizeof address);  // network order: the bytes as written
    if (address == 0 || address == 0xFFFFFFFFu) {
        throw UsageError(argument, argument + ": '" + text + "' is not a device address");
    }
    return address;
}

double ParseSeconds(const std::string& text, const std::string& argument) {
    const size_t digits = text.find_first_not_of("0123456789");
    const bool plain = !text.empty() && text[0] != '.' &&
                       (digits == std::string::npos ||
                        (text[digits] == '.' && digits + 1 < text.size() &&
                         text.find_first_not_of("0123456789", digits + 1) == std::string::npos));
    if (!plain) {
        throw UsageError(argument, argument + ": '" + text +
                                       "' is not a number of seconds (for example 120 or 0.5)");
    }
    const double value = std::strtod(text.c_str(), nullptr);
    if (!(value <= 86400.0)) {
        throw UsageError(argument,
                         argument + ": '" + text + "' is more than 86400 seconds (one day)");
    }
    return value;
}

std::string EscapeControls(const std::string& text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n') || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

bool IsRealRelease(const std::string& value) {
    return !value.empty() && value != "Unknown" && value != "NotConnected";
}

}  // namespace gwtool
