// Device state, its JSON form, and the release marker inside firmware files.
#include "tools/gwsim/simulator.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include <nlohmann/json.hpp>

namespace gwsim {

namespace {

const char kReleaseMarker[] = "@(#)RELEASE=";
const size_t kReleaseScanLimit = 1024 * 1024;
const size_t kMaxReleaseLength = 127;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The text members and their JSON keys.
struct TextKey {
    const char* name;
    std::string DeviceState::*member;
};
const TextKey kTexts[] = {
    {"lc_release", &DeviceState::lc_release},
    {"prom_release", &DeviceState::prom_release},
    {"bootstrap_release", &DeviceState::bootstrap_release},
    {"cable_version", &DeviceState::cable_version},
    {"serial_number", &DeviceState::serial_number},
    {"mac_address", &DeviceState::mac_address},
    {"usb_mac_address", &DeviceState::usb_mac_address},
    {"pc_serial_text", &DeviceState::pc_serial_text},
};

}  // namespace

const char* const kFamilyNames[] = {"ZEL", "MIR"};  // in Family's order

const char* FamilyName(Family family) {
    return kFamilyNames[int(family)];
}

bool ParseFamily(const std::string& text, Family* family) {
    int i = NameIndex(kFamilyNames, text);
    if (i >= 0)
        *family = Family(i);
    return i >= 0;
}

uint16_t DefaultPort(Family family) {
    return family == Family::MIR ? 9181 : 9191;
}

const char* const kCableNames[] = {"none", "mac", "r318"};  // in CableType's order

const char* CableTypeName(CableType cable) {
    return kCableNames[int(cable)];
}

bool ParseCableType(const std::string& text, CableType* cable) {
    int i = NameIndex(kCableNames, Lower(text));
    if (i >= 0)
        *cable = CableType(i);
    return i >= 0;
}

DeviceState DeviceState::Default(Family family) {
    DeviceState s;
    s.family = family;
    if (family == Family::MIR) {
        s.lc_release = "MIR Release 3.4";
        s.prom_release = "MIR Release 1.2";
        s.serial_number = "MIR0004711";
    } else {
        s.lc_release = "CPOD_LC_R2.10.3";
        s.prom_release = "CPOD_PROM_R1.4.0";
        s.bootstrap_release = "CPOD_BOOT_R1.0.2";
        s.cable = CableType::Mac;
        s.cable_version = "CPOD_TSN_R2.4";
        s.serial_number = "ZEL0012345";
        s.mac_address = "00:50:C2:12:34:56";
        s.usb_mac_address = "00:50:C2:12:34:57";
    }
    return s;
}

bool DeviceState::operator==(const DeviceState& o) const {
    return ToJson() == o.ToJson();  // every field is in the JSON form
}

std::string DeviceState::ToJson() const {
    nlohmann::json j;
    j["family"] = FamilyName(family);
    for (const TextKey& t : kTexts)
        j[t.name] = this->*t.member;
    j["cpld"] = cpld_custom ? "custom" : "standard";
    j["cpld_revision"] = cpld_revision;
    j["cable"] = CableTypeName(cable);
    j["reboot_ms"] = reboot_ms;
    return j.dump(2) + "\n";
}

bool DeviceState::FromJson(const std::string& text, DeviceState* state, std::string* error) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        // e.byte counts from 1 and points at the offending character.
        size_t at = std::min<size_t>(e.byte == 0 ? 0 : e.byte - 1, text.size());
        size_t nl = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
        size_t line = 1 + size_t(std::count(text.begin(), text.begin() + long(at), '\n'));
        size_t column = nl == std::string::npos ? at + 1 : at - nl;
        return Fail(error, "line " + std::to_string(line) + ", column " + std::to_string(column) +
                               ": not valid JSON");
    }
    if (!j.is_object())
        return Fail(error, "the state must be a JSON object");

    Family family = Family::ZEL;
    if (j.contains("family")) {
        const auto& f = j["family"];
        if (!f.is_string() || !ParseFamily(f.get<std::string>(), &family))
            return Fail(error, "\"family\" must be \"ZEL\" or \"MIR\"");
    }
    DeviceState s = Default(family);

    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& key = it.key();
        const auto& v = it.value();
        if (key == "family")
            continue;
        auto text = std::find_if(std::begin(kTexts), std::end(kTexts),
                                 [&key](const TextKey& t) { return key == t.name; });
        if (text != std::end(kTexts)) {
            if (!v.is_string())
                return Fail(error, "\"" + key + "\" must be a string");
            s.*text->member = v.get<std::string>();
        } else if (key == "cpld") {
            std::string c = v.is_string() ? Lower(v.get<std::string>()) : "";
            if (c == "standard") {
                s.cpld_custom = false;
            } else if (c == "custom") {
                s.cpld_custom = true;
            } else {
                return Fail(error, "\"cpld\" must be \"standard\" or \"custom\"");
            }
        } else if (key == "cable") {
            if (!v.is_string() || !ParseCableType(v.get<std::string>(), &s.cable))
                return Fail(error, "\"cable\" must be \"none\", \"mac\" or \"r318\"");
        } else if (key == "cpld_revision" || key == "reboot_ms") {
            if (!v.is_number_unsigned() || v.get<uint64_t>() > 0xFFFFFFFFull)
                return Fail(error, "\"" + key + "\" must be an unsigned 32-bit number");
            uint32_t n = static_cast<uint32_t>(v.get<uint64_t>());
            if (key == "cpld_revision") {
                s.cpld_revision = n;
            } else {
                s.reboot_ms = n;
            }
        } else {
            return Fail(error, "unknown key \"" + key + "\"");
        }
    }
    *state = s;
    return true;
}

bool DeviceState::LoadFile(const std::string& path, DeviceState* state, std::string* error) {
    std::string text, why;
    if (!ReadTextFile(path, &text))
        return Fail(error, "cannot read " + path);
    if (!FromJson(text, state, &why))
        return Fail(error, path + ": " + why);
    return true;
}

bool DeviceState::SaveFile(const std::string& path, std::string* error) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out << ToJson();
    if (!out)
        return Fail(error, "cannot write " + path);
    return true;
}

bool ReadReleaseFromFile(const std::string& path, std::string* release) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string head(kReleaseScanLimit, '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    size_t at = head.find(kReleaseMarker);
    if (at == std::string::npos)
        return false;
    size_t begin = at + sizeof kReleaseMarker - 1;
    size_t end = begin;
    while (end < head.size() && end - begin < kMaxReleaseLength && head[end] != '\0' &&
           head[end] != '\r' && head[end] != '\n')
        ++end;
    while (begin < end && IsBlank(head[begin]))
        ++begin;
    while (end > begin && IsBlank(head[end - 1]))
        --end;
    if (begin == end)
        return false;
    *release = head.substr(begin, end - begin);
    return true;
}

}  // namespace gwsim
