// The identity record file rewrite on arbitrary existing contents (long lines,
// no line ends, zero bytes, CR LF), through a real read of a simulated device
// that runs in this process: every earlier record that the rewrite has no
// reason to drop is still there, in its order, and the device's own record is
// written once in place of its earlier lines or at the end.
//
// Input: the device's serial number (a length byte and that many bytes), then
// the file's existing contents.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_env.h"
#include "tests/support/loopback.h"
#include "tests/support/side_copy.h"
#include "tools/gwsim/simulator.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/tarvikutils.h"
#include "zodaruruvizi/devices/valuestore.h"

namespace {

using zrfuzz::Env;
using zrfuzz::Environment;

void Fail(const char* what) {
    zrfuzz::Fail("records_fuzz", what);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b]))
        ++b;
    while (e > b && IsSpace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::vector<std::string> Lines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        if (nl == std::string::npos)
            nl = content.size();
        lines.push_back(content.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// A field compares as a C string: up to its first zero byte, as the library
// reads it.
bool EqualsUnknown(const std::string& whole) {
    static const char kUnknown[] = "unknown";
    const std::string field = whole.substr(0, whole.find('\0'));
    if (field.size() != 7)
        return false;
    for (size_t i = 0; i < 7; ++i) {
        char c = field[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != kUnknown[i])
            return false;
    }
    return true;
}

bool AllFieldsUnknown(const std::string& line) {
    size_t start = 0;
    for (;;) {
        size_t comma = line.find(',', start);
        if (!EqualsUnknown(line.substr(
                start, comma == std::string::npos ? std::string::npos : comma - start))) {
            return false;
        }
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

struct Device {
    std::unique_ptr<gwsim::Simulator> sim;
    std::unique_ptr<CTarvikUtils> tarvik;
    Device() {
        Env();
        gwsim::Options options;
        options.software_dir = Env().software();
        std::string error;
        sim = zrtest::StartSimulator(gwsim::DeviceState::Default(gwsim::Family::ZEL), options,
                                     &error);
        if (!sim)
            Fail(error.c_str());
        tarvik.reset(new CTarvikUtils(new CGatewayComms(9191)));
        tarvik->SetIPAddress(inet_addr(sim->address().c_str()));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Device device;
    FuzzedDataProvider in(data, size);
    gwsim::DeviceState state = gwsim::DeviceState::Default(gwsim::Family::ZEL);
    state.serial_number = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 40));
    const std::string before = in.ConsumeRemainingBytesAsString();
    device.sim->SetState(state);

    const std::string path = Env().logs() + "/Tarvik_Serial_Nums.txt";
    Environment::Write(path, before);
    GetValueStore().clear();
    if (!device.tarvik->GetReleaseIds(true, false))
        Fail("the healthy device was not read");
    const std::string after = Environment::Read(path);
    if (std::filesystem::exists(path + ".saved") &&
        zrtest::SideCopyHoldsBytes(Environment::Read(path + ".saved"))) {
        Fail("side copy left holding bytes after a successful rewrite");
    }

    // A serial number that reads "Unknown" in any letter case (a device may
    // send "UNKNOWN" with white space after it) places no record.
    const std::string serial = GetValueStore()["Tarvik_SerialNum"];
    if (EqualsUnknown(serial)) {
        if (after != before)
            Fail("file rewritten for a device without a serial number");
        return 0;
    }
    const std::string& store = GetValueStore()["Tarvik_Release"];
    const std::string record = serial + "," + store + "," + GetValueStore()["Tarvik_PROM_Release"] +
                               "," + GetValueStore()["Tarvik_Bootstrap_Release"] + "," +
                               GetValueStore()["Tarvik_MACAddress"] + "," +
                               GetValueStore()["Tarvik_USBMACAddress"];

    // Expected: the kept lines, with the device's record in place of every
    // line holding its serial number, or at the end.
    std::vector<std::string> expected;
    bool replaced = false;
    for (const std::string& raw : Lines(before)) {
        const std::string line = Trimmed(raw);
        if (line.empty() || AllFieldsUnknown(line))
            continue;
        if (line.find(serial) == std::string::npos) {
            expected.push_back(line);
        } else {
            expected.push_back(record);
            replaced = true;
        }
    }
    if (!replaced)
        expected.push_back(record);
    std::string content;
    for (const std::string& line : expected)
        content += line + "\n";
    if (after != content) {
        fprintf(stderr, "before:\n%s\nafter:\n%s\nexpected:\n%s\n", before.c_str(), after.c_str(),
                content.c_str());
        Fail("records lost, reordered or changed");
    }
    return 0;
}
