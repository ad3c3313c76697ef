#include "tools/gwtool/targets.h"

#include <set>
#include <sstream>

#include "tools/gwtool/model.h"

namespace gwtool {

namespace {

// A decimal number from 0 to `max`, digits only.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

uint32_t HostOrder(const std::string& text, const std::string& argument) {
    const uint32_t net = ParseIPv4(text, argument);
    const auto* b = reinterpret_cast<const unsigned char*>(&net);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string AddressText(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
           std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

std::vector<uint32_t> ParseTargets(const std::vector<std::string>& targets,
                                   const std::string& argument) {
    std::vector<uint32_t> out;
    std::set<uint32_t> seen;
    auto add = [&](uint64_t first, uint64_t last, const std::string& target) {
        for (uint64_t a = first; a <= last; ++a) {
            if (!seen.insert(static_cast<uint32_t>(a)).second)
                continue;
            if (out.size() == kMaxScanAddresses) {
                throw UsageError(argument, argument + ": '" + target +
                                               "' brings the scan to more than " +
                                               std::to_string(kMaxScanAddresses) + " addresses");
            }
            out.push_back(static_cast<uint32_t>(a));
        }
    };
    if (targets.empty())
        throw UsageError(argument, argument + ": no address, range or block given");
    for (const std::string& target : targets) {
        const std::string bad = argument + ": '" + target +
                                "' is not an IPv4 address, a range like 192.0.2.10-40 or a block "
                                "like 192.0.2.0/24";
        const size_t slash = target.find('/');
        const size_t dash = target.find('-');
        uint32_t n = 0;
        if (slash != std::string::npos) {
            if (!ParseNumber(target.substr(slash + 1), 32, &n))
                throw UsageError(argument, bad);
            const uint32_t base = HostOrder(target.substr(0, slash), argument);
            if (32 - n > 10) {
                throw UsageError(argument, argument + ": '" + target + "' holds more than " +
                                               std::to_string(kMaxScanAddresses) + " addresses");
            }
            const uint64_t size = uint64_t(1) << (32 - n);
            const uint64_t first = base & ~(size - 1);
            if (size > 2)
                add(first + 1, first + size - 2, target);
            else
                add(first, first + size - 1, target);
        } else if (dash != std::string::npos) {
            const uint32_t first = HostOrder(target.substr(0, dash), argument);
            if (!ParseNumber(target.substr(dash + 1), 255, &n) || n < (first & 255))
                throw UsageError(argument, bad);
            add(first, (first & ~uint32_t(255)) | n, target);
        } else {
            const uint32_t a = HostOrder(target, argument);
            add(a, a, target);
        }
    }
    return out;
}

std::vector<Device> ParseAddressList(const std::string& text, const std::string& default_family,
                                     const std::string& argument) {
    std::vector<Device> out;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const size_t gap = line.find_first_of(" \t");
        Device d{line.substr(0, gap),
                 gap == std::string::npos ? default_family : Trim(line.substr(gap))};
        ParseIPv4(d.address, argument + " line " + std::to_string(number));
        out.push_back(d);
    }
    return out;
}

}  // namespace gwtool
