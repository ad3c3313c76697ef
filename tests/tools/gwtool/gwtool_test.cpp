// gwtool as a black box: the program run as a child process against simulated
// devices on loopback (its text and JSON output and its exit codes), and its
// pure parts directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/child.h"
#include "tests/support/loopback.h"
#include "tests/support/testenv.h"
#include "tools/gwtool/model.h"
#include "tools/gwtool/targets.h"

using nlohmann::json;
using zrtest::RunOptions;
using zrtest::RunResult;
using Strings = std::vector<std::string>;

namespace {

RunResult Tool(const Strings& args, const RunOptions& options = RunOptions()) {
    return zrtest::RunChild(GWTOOL_PATH, args, options);
}

// The whole of stdout must be one JSON document.
json Doc(const RunResult& r) {
    json doc = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "stdout is not one JSON document:\n" << r.out << r.err;
    return doc.is_discarded() ? json::object() : doc;
}

json Component(const json& check, const std::string& code) {
    for (const json& c : check.value("components", json::array()))
        if (c.at("component") == code)
            return c;
    return json();
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int Lines(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    for (std::istringstream in(text); std::getline(in, part, separator);)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

const gwsim::DeviceState kZelDevice = gwsim::DeviceState::Default(gwsim::Family::ZEL);
const gwsim::DeviceState kMirDevice = gwsim::DeviceState::Default(gwsim::Family::MIR);

using Files = std::vector<std::pair<std::string, std::string>>;
// PC files equal to the default devices (one MAC cable: tessan_cable.hex).
const Files kSame = {
    {"tarvik_lc.bin", "CPOD_LC_R2.10.3"},         {"tarvik_prom.bin", "CPOD_PROM_R1.4.0"},
    {"tarvik_bootstrap.bin", "CPOD_BOOT_R1.0.2"}, {"tessan_cable.hex", "CPOD_TSN_R2.4"},
    {"sollum_lc.bin", "MIR Release 3.4"},         {"sollum_prom.bin", "MIR Release 1.2"}};
// Newer than the default ZEL device in BS, PROM, LC and the cable.
const Files kNewer = {
    {"tarvik_lc.bin", "CPOD_LC_R2.11.0"},         {"tarvik_prom.bin", "CPOD_PROM_R1.5.0"},
    {"tarvik_bootstrap.bin", "CPOD_BOOT_R1.1.0"}, {"tessan_cable.hex", "CPOD_TSN_R2.5"},
    {"tarvik_mac.bin", "CPOD_TSN_R2.5"},          {"sollum_lc.bin", "MIR Release 3.5"},
    {"sollum_prom.bin", "MIR Release 1.3"}};

// Firmware files carrying their release (release "?": a file without one,
// "-": no file).
void Firmware(const zrtest::TempDir& dir, const Files& files) {
    for (const auto& f : files) {
        std::filesystem::remove(dir.File(f.first));
        if (f.second != "-")
            dir.Write(f.first, f.second == "?"
                                   ? "no marker"
                                   : "\x7f @(#)RELEASE=" + f.second + std::string("\0", 1));
    }
}

class GwtoolTest : public ::testing::Test {
protected:
    void Firmware(const Files& files) { ::Firmware(sw_, files); }

    std::unique_ptr<gwsim::Simulator> Start(gwsim::DeviceState state, const Strings& faults = {},
                                            const std::string& folder = "") {
        gwsim::Options options;
        options.software_dir = folder.empty() ? sw_.path() : folder;
        std::string error;
        auto sim = zrtest::StartSimulator(state, options, &error);
        EXPECT_TRUE(sim) << error;
        for (const std::string& spec : faults) {
            gwsim::Fault fault;
            EXPECT_TRUE(gwsim::ParseFault(spec, &fault, &error)) << error;
            if (sim)
                sim->AddFault(fault);
        }
        return sim;
    }

    // A subcommand with the family, the address and this test's directories.
    Strings Args(const std::string& command, const std::string& family, const std::string& address,
                 const Strings& more = {}) {
        Strings args = {command,    "--family",  family,      "--software-dir",
                        sw_.path(), "--log-dir", logs_.path()};
        if (!address.empty())
            args.insert(args.end(), {"--address", address});
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    zrtest::TempDir sw_, logs_;
};

TEST_F(GwtoolTest, BadArgumentsGetOneLineNamingTheArgumentAndExitTwo) {
    const std::string a = "127.0.0.1", missing = sw_.File("missing");
    const std::vector<std::pair<Strings, std::string>> cases = {
        {{"check", "--family", "ZEL", "--address", "1.2.3"}, "--address"},
        {{"check", "--family", "ZEL"}, "--address"},
        {{"check", "--family", "zel", "--address", a}, "--family"},
        {{"check", "--address", a}, "--family"},
        {{"files", "--family", "ZEL", "--code-type", "FPGA"}, "--code-type"},
        {{"files", "--family", "MIR", "--code-type", "CPLD"}, "--code-type"},
        {{"cpld", "--family", "MIR"}, "--family"},
        {{"files", "--family", "ZEL", "--software-dir", missing}, "--software-dir"},
        {{"check", "--family", "ZEL", "--address", a, "--bogus"}, "--bogus"},
        {{"update", "--family", "ZEL", "--address", a, "--reboot-timeout", "nan"},
         "--reboot-timeout"},
        {{"files", "--family", "ZEL", "--address", a}, "--address"},
        {{"chek", "--family", "ZEL"}, "unknown subcommand 'chek'"},
        {{"-v", "check", "--family", "zel", "--address", a}, "--family"},
        {{"update", "--family", "ZEL", "--address", a, "--address", "127.0.0.2"}, "--yes"},
        {{"check", "--address", a, "--address", "127.0.0.2"}, "--family"},
        {{"values", "--family", "ZEL", "--addresses", missing}, "--addresses"},
        {{"check", "--family", "ZEL", "--from-scan", a, "--jobs", "0"}, "--jobs"},
        {{"scan", "127.0.0.0/21"}, "TARGET"},
        {{"scan", a, "--connect-timeout", "x"}, "--connect-timeout"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Strings args = cases[i].first;
        const bool with_json = i % 2 == 0;
        if (with_json)
            args.push_back("--json");
        SCOPED_TRACE(::testing::PrintToString(args));
        const RunResult r = Tool(args);
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_EQ(Lines(r.err), 1) << r.err;
        EXPECT_TRUE(Has(r.err, cases[i].second)) << r.err;
        if (!with_json) {
            EXPECT_EQ(r.out, "");
            continue;
        }
        const json doc = Doc(r);
        EXPECT_EQ(doc.value("exit_code", 0), 2);
        EXPECT_TRUE(Has(doc["error"].value("message", ""), cases[i].second)) << r.out;
    }
}

// The spellings of an address, of seconds and of scan targets, address files,
// the order of exit codes and the escaping of device text.
TEST(GwtoolParts, ParseAndRankAsDocumented) {
    for (const char* bad : {"1.2.3.4.5", "256.0.0.1", "127.0.0.01", "0x7f.0.0.1", "localhost",
                            " 127.0.0.1", "127..0.1", "0.0.0.0", "255.255.255.255", "1.2.3.4."})
        EXPECT_THROW(gwtool::ParseIPv4(bad, "--address"), gwtool::UsageError) << bad;
    const uint32_t address = gwtool::ParseIPv4("127.1.2.3", "--address");
    EXPECT_EQ(std::memcmp(&address, "\x7f\x01\x02\x03", 4), 0);
    for (const char* bad : {"nan", "inf", "1e308", "abc", "-1", "86401", "1.", ".5", ""})
        EXPECT_THROW(gwtool::ParseSeconds(bad, "--reboot-timeout"), gwtool::UsageError) << bad;
    EXPECT_EQ(gwtool::ParseSeconds("0.5", "--reboot-timeout"), 0.5);
    EXPECT_EQ(gwtool::ParseSeconds("86400", "--reboot-timeout"), 86400.0);
    const int order[] = {130, 2, 3, 5, 4, 1, 0};
    for (size_t i = 0; i < 7; ++i)
        for (size_t j = i; j < 7; ++j)
            EXPECT_EQ(gwtool::MoreUrgent(order[j], order[i]), order[i]) << i << " " << j;
    EXPECT_EQ(gwtool::EscapeControls("a\x1b[31m\tb\x7f\n"), "a\\x1b[31m\\x09b\\x7f\n");

    // Scan targets: repeats once, blocks without network and broadcast, 1,024 at most.
    Strings texts;
    for (uint32_t a :
         gwtool::ParseTargets({"127.0.0.9", "127.0.0.8-10", "127.0.1.0/30", "127.0.2.7/32"}, "T"))
        texts.push_back(gwtool::AddressText(a));
    EXPECT_EQ(texts, (Strings{"127.0.0.9", "127.0.0.8", "127.0.0.10", "127.0.1.1", "127.0.1.2",
                              "127.0.2.7"}));
    EXPECT_EQ(gwtool::ParseTargets({"127.0.0.0/22", "127.0.4.1-2"}, "T").size(), 1024u);
    for (const char* bad : {"", "127.0.0.10-9", "127.0.0.1-256", "127.0.0.0/21", "127.0.0.0/33",
                            "127.0.0.0/", "127.0.0.1-", "localhost/24", "127.0.0.0/22 127.0.4.1-3"})
        EXPECT_THROW(gwtool::ParseTargets(Split(bad, ' '), "T"), gwtool::UsageError) << bad;

    // Address files: the family is the rest of the line; '#' comments.
    const auto devices = gwtool::ParseAddressList(
        "127.0.0.1\n  127.0.0.2  Tarvik II  # two words\n# none\n\n127.0.0.3\tMIR\r\n", "ZEL",
        "--addresses");
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].family, "ZEL");
    EXPECT_EQ(devices[1].address, "127.0.0.2");
    EXPECT_EQ(devices[1].family, "Tarvik II");
    EXPECT_EQ(devices[2].family, "MIR");
    EXPECT_THROW(gwtool::ParseAddressList("127.0.0.300 MIR\n", "", "--addresses"),
                 gwtool::UsageError);
}

TEST_F(GwtoolTest, EverySubcommandHasHelpWithTheExitCodes) {
    EXPECT_TRUE(Has(Tool({"--version"}).out, "(library zodaruruvizi "));
    for (const char* command : {"check", "update", "values", "files", "cpld", "demo"}) {
        const RunResult r = Tool({command, "--help"});
        EXPECT_EQ(r.exit_code, 0) << command;
        EXPECT_TRUE(Has(r.out, "--json") && Has(r.out, "Exit codes") &&
                    Has(r.out, "5  a component other than"))
            << r.out;
    }
}

// Every row: one device (or none), one firmware folder, faults as `gwsim --fault`
// takes them; the tool must name what it does not know and exit accordingly.
TEST_F(GwtoolTest, CommandsGiveHonestResultsAndExitCodes) {
    struct Row {
        // The device (zel, zel-nocable, zel-reboots: for 1.5 s, zel-slow: for a minute, mir,
        // hole, none), the
        // folder (same, newer, empty, env: same from GATEWAY_SOFTWARE_DIR with GATEWAY_LOG_DIR,
        // env-missing, default-missing, record-blocked), then
        // f:FAULT, w:FILE=RELEASE (?: without release, -: no file, ~: a space), x:interrupt,
        // x:full, x:text (no --json), x:tty=INPUT (text, stdin and stderr on a terminal).
        std::string setup;
        std::string command;  // arguments separated by '|'
        int exit_code;
        // COMPONENT=result (before any update), COMPONENT.field=value, /json/pointer=value,
        // +text on stdout or stderr, -text not on stderr, <a<b: a then b on stderr, &text in
        // the identity record file; resets: none unless !N.
        std::string expect;
    };
    const std::vector<Row> rows = {
        {"zel newer x:text", "check", 1,
         "+CPOD_BOOT_R1.0.2;+CPOD_BOOT_R1.1.0;+tarvik_bootstrap.bin;+Older;+ZEL0012345;"
         "+00:50:C2:12:34:56;+00:50:C2:12:34:57;+tessan_cable.hex;+R318"},
        {"zel newer", "check", 1,
         "/command=check;/exit_code=1;/reachable=true;/differences=true;/components/5/"
         "component=R318;"
         "/identity/serial_number=ZEL0012345;/identity/usb_mac_address=00:50:C2:12:34:57;"
         "BS.device_release=CPOD_BOOT_R1.0.2;BS.pc_release=CPOD_BOOT_R1.1.0;BS=Older;BS.checked="
         "true;"
         "PROM.device_release=CPOD_PROM_R1.4.0;PROM.pc_release=CPOD_PROM_R1.5.0;PROM=Older;"
         "LC.device_release=CPOD_LC_R2.10.3;LC.pc_release=CPOD_LC_R2.11.0;LC=Older;LC.checked=true;"
         "CPLD.device_release=STANDARD CORVEL CPLD;CPLD.pc_release=null;CPLD=not checked;"
         "CPLD.checked=false;MAC.device_release=CPOD_TSN_R2.4;MAC.pc_release=CPOD_TSN_R2.5;"
         "MAC=not checked;MAC.checked=false;R318.device_release=Unknown;R318.pc_release=null;"
         "R318=no cable;R318.checked=false"},
        {"zel same", "values", 0,
         "/values/Tarvik_SerialNum=ZEL0012345;/values/Tarvik_Release_Untrimmed=CPOD_LC_R2.10.3;"
         "/values/Tarvik_Release=R2.10.3;/values/Tarvik_MACAddress=00:50:C2:12:34:56"},
        {"zel same", "check", 0, "&ZEL0012345"},
        // The first differing component, its image staged while the worker runs (slowed down
        // between staging and the reset), the wait for the reboot, the verification.
        {"zel-reboots newer f:split:code=0x00400000,size=2,pause=100", "update|--reboot-timeout|30",
         0,
         "/outcome=verified;/update/component=BS;+the device runs CPOD_BOOT_R1.0.2;BS=Older;"
         "/after/components/0/device_release=CPOD_BOOT_R1.1.0;/after/components/0/result=Same;"
         "/after/components/1/result=Older;<] worker running\n<] images staged\n<] worker done\n"
         "<] waiting for the device<] verifying\n;-\r;!1"},
        {"mir same w:sollum_lc.bin=MIR~Release~3.5 x:tty=n", "update", 1, "+[y/N]"},
        {"mir same w:sollum_lc.bin=MIR~Release~3.5 x:tty=y", "update", 0,
         "+[y/N];+\r\033[K;+worker done;+Before the update;+Will update LC;+After the update;"
         "+Update of LC verified;!1"},
        {"mir same w:sollum_lc.bin=MIR~Release~3.5 x:tty=", "update|--yes", 0, "-[y/N];!1"},
        {"none env w:tarvik_lc.bin=CPOD_LC_R9.9.9", "files|--code-type|LC", 0,
         "/components/0/files/0/release=CPOD_LC_R9.9.9"},
        {"zel env", "check", 0, "&ZEL0012345"},
        {"none env", "files|--software-dir|/nonexistent", 2, "+/nonexistent"},
        {"zel same", "check", 0, "BS=Same;CPLD=Same;MAC=Same;R318=no cable;-warning"},
        {"zel-nocable same", "check", 0, "MAC=no cable;R318=no cable;-[RT_COMMS_I]"},
        {"zel same", "check|--verbose", 0, "+[RT_COMMS_I] CPLD REV:"},
        {"zel same f:status:code=0x10000000,status=2", "check", 5,
         "PROM=not read;PROM.library_result=Same;LC=Same;+no PROM release"},
        {"zel same f:status:code=0x01000000,status=0xFFFF", "check", 5,
         "BS=not read;+no bootstrap release"},
        {"zel same f:oversize:code=0x10000000,mode=room", "check", 5, "PROM=not read"},
        {"zel same f:status:code=0x10000000,status=2", "update|--yes", 5,
         "PROM=not read;+Not known whether;-Nothing to update"},
        {"zel same", "update", 0, "+Nothing to update"},
        {"zel same f:status:code=0x20000000,status=2", "check", 3,
         "LC=not read;+no usable reply;-did not answer"},
        {"hole same", "check", 3, "LC=not read;MAC=not read;+refused the connection"},
        {"mir same w:sollum_prom.bin=MIR~Release~1.0", "check", 1, "PROM=Newer;LC=Same"},
        {"mir empty w:sollum_prom.bin=MIR~Release~1.2 f:status:code=3,status=2", "check", 5,
         "PROM=not read;LC=no PC file"},
        {"zel same w:tarvik_prom.bin=?", "check", 5, "PROM=no PC file;+tarvik_prom.bin in"},
        {"zel empty", "check", 5, "BS=no PC file;CPLD=Same;R318=no cable;+is empty"},
        {"zel env-missing", "check", 2, "+/missing' (GATEWAY_SOFTWARE_DIR) does not exist"},
        {"zel default-missing", "update", 2, "+gateway_software' (the default"},
        {"none env-missing", "files", 2, "+does not exist"},
        {"zel record-blocked", "check", 0, "+could not write the identity record file"},
        {"none same", "check|--family|Tarvik II", 0,
         "+reports them up to date by design;/reachable=null"},
        // A BS update stages LC too: refused before the reset when its file is missing.
        {"zel same w:tarvik_bootstrap.bin=CPOD_BOOT_R1.1.0 w:tarvik_lc.bin=-", "update|--yes", 5,
         "BS=Older;LC=no PC file;+tarvik_lc.bin, which the update installs, is not in"},
        {"mir same w:sollum_prom.bin=MIR~Release~1.3 f:status:code=9,status=2", "update", 1,
         "PROM=Older;+still reports the old release"},
        {"zel-slow same w:tarvik_lc.bin=CPOD_LC_R2.11.0", "update|--reboot-timeout|0.5", 4,
         "LC=Older;+pending;-verifying;!1"},
        {"zel-slow same w:tarvik_lc.bin=CPOD_LC_R2.11.0 x:interrupt", "update|--yes", 130,
         "+leaves the device in an unknown state;+Run next: gwtool check;!1"},
        {"zel same x:full", "check", 1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.setup + " / " + row.command);
        const Strings setup = Split(row.setup, ' ');
        const std::string device = setup[0], kind = setup[1];
        zrtest::TempDir folder, tmp;
        RunOptions options;
        Strings args = Split(row.command, '|');
        if (kind != "env")
            args.insert(args.end(), {"--log-dir", logs_.path()});
        const size_t tty = row.setup.find("x:tty=");  // text on a terminal, with its input
        options.terminal = tty != std::string::npos;
        if (options.terminal)
            options.terminal_input = row.setup.substr(tty + 6) + "\n";
        if (!Has(row.setup, "x:text") && !options.terminal)
            args.push_back("--json");
        if (std::find(args.begin(), args.end(), "--family") == args.end())
            args.insert(args.end(), {"--family", device == "mir" ? "MIR" : "ZEL"});
        if (kind == "env-missing" || kind == "env")
            options.env["GATEWAY_SOFTWARE_DIR"] = folder.File(kind == "env" ? "" : "missing");
        if (kind == "env")
            options.env["GATEWAY_LOG_DIR"] = logs_.path();
        if (kind == "default-missing")
            options.env["TMPDIR"] = tmp.path();
        if (kind != "env" && kind != "env-missing" && kind != "default-missing")
            args.insert(args.end(), {"--software-dir", folder.path()});
        Files files = kind == "newer" ? kNewer : kind == "empty" ? Files() : kSame;
        Strings faults;
        for (size_t i = 2; i < setup.size(); ++i) {
            const std::string value = setup[i].substr(2);
            if (setup[i][0] == 'f')
                faults.push_back(value);
            if (setup[i][0] == 'w') {
                std::string release = value.substr(value.find('=') + 1);
                std::replace(release.begin(), release.end(), '~', ' ');
                files.push_back({value.substr(0, value.find('=')), release});
            }
        }
        ::Firmware(folder, files);
        if (kind == "record-blocked")
            std::filesystem::create_directories(logs_.File("Tarvik_Serial_Nums.txt"));

        std::unique_ptr<gwsim::Simulator> sim;
        std::unique_ptr<zrtest::AddressHole> hole;
        if (device == "hole") {
            hole = std::make_unique<zrtest::AddressHole>();
            args.insert(args.end(), {"--address", hole->address()});
        } else if (device != "none") {
            gwsim::DeviceState state = device == "mir" ? kMirDevice : kZelDevice;
            if (device == "zel-nocable")
                state.cable = gwsim::CableType::None;
            if (device == "zel-slow" || device == "zel-reboots")
                state.reboot_ms = device == "zel-slow" ? 60000 : 1500;
            sim = Start(state, faults, folder.path());
            ASSERT_TRUE(sim);
            args.insert(args.end(), {"--address", sim->address()});
        }
        const bool interrupt = Has(row.setup, "x:interrupt"), full = Has(row.setup, "x:full");
        if (full && !std::filesystem::exists("/dev/full"))
            continue;  // Linux only
        if (interrupt)
            options.interrupt_after = {"waiting for the device", "second Ctrl-C"};
        if (full)
            options.stdout_path = "/dev/full";
        const RunResult r = Tool(args, options);
        EXPECT_EQ(r.exit_code, row.exit_code) << r.err;
        const bool json_out = !interrupt && !full && !Has(row.setup, "x:text") && !options.terminal;
        const json doc = json_out ? Doc(r) : json::object();
        const json& check = doc.contains("before") ? doc["before"] : doc;
        size_t resets = 0;
        for (const std::string& e : Split(row.expect, ';')) {
            const size_t is = e.find('='), dot = e.find('.');
            const std::string value = e.substr(is + 1);
            if (e[0] == '+' || e[0] == '-') {
                EXPECT_EQ(Has(e[0] == '+' ? r.out + r.err : r.err, e.substr(1)), e[0] == '+')
                    << e << r.out << r.err;
            } else if (e[0] == '<') {  // in this order on stderr
                size_t at = 0;
                for (const std::string& part : Split(e, '<'))
                    EXPECT_NE(at = r.err.find(part, at), std::string::npos) << part << r.err;
            } else if (e[0] == '&') {
                EXPECT_TRUE(Has(logs_.Read("Tarvik_Serial_Nums.txt"), e.substr(1))) << e;
            } else if (e[0] == '!') {
                resets = std::stoul(e.substr(1));
            } else {
                const json got =
                    e[0] == '/' ? doc.value(json::json_pointer(e.substr(0, is)), json())
                    : dot < is ? Component(check, e.substr(0, dot))[e.substr(dot + 1, is - dot - 1)]
                               : Component(check, e.substr(0, is))["result"];
                EXPECT_EQ(got.is_string() ? got.get<std::string>() : got.dump(), value)
                    << e << check;
            }
        }
        EXPECT_EQ(sim ? sim->ResetCount() : resets, resets);
        std::filesystem::remove_all(logs_.File("Tarvik_Serial_Nums.txt"));
        if (json_out) {
            EXPECT_EQ(doc["schema_version"], 2);
        }
    }
}

TEST_F(GwtoolTest, FilesListsShippedStagedAndCableFiles) {
    Firmware({{"tarvik_lc.bin", "CPOD_LC_R2.11.0"},
              {"tarvik_lc.load", "CPOD_LC_R2.12.0"},
              {"tessan_cable.hex", "CPOD_TSN_R2.5"},
              {"tarvik_prom.bin", "?"}});
    const RunResult r = Tool(Args("files", "ZEL", "", {"--json"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json doc = Doc(r);
    EXPECT_EQ(doc["software_dir"],
              std::filesystem::absolute(sw_.path()).lexically_normal().string());
    ASSERT_EQ(doc["components"].size(), 6u);
    std::string files;  // component role name present release, a line each
    for (const json& c : doc["components"])
        for (const json& f : c["files"])
            files += c["component"].get<std::string>() + " " + f["role"].get<std::string>() + " " +
                     f["name"].get<std::string>() + " " + f["present"].dump() + " " +
                     f["release"].dump() + "\n";
    for (const char* line :
         {"LC shipped tarvik_lc.bin true \"CPOD_LC_R2.11.0\"",
          "LC staged tarvik_lc.load true \"CPOD_LC_R2.12.0\"",
          "PROM shipped tarvik_prom.bin true null", "BS staged tarvik_bootstrap.load false null",
          "MAC cable tessan_cable.hex true \"CPOD_TSN_R2.5\"",
          "R318 cable r318_cable.hex false null", "R318 shipped tarvik_r318.bin false null"})
        EXPECT_TRUE(Has(files, std::string(line) + "\n")) << line << "\n" << files;
    EXPECT_FALSE(Has(files, "LC cable"));
    EXPECT_EQ(doc["stale"], json({"tarvik_lc.load"}));

    // Left-over staged and partial files go only when asked, or with --yes.
    sw_.Write("tarvik_prom.load.partial", "part");
    EXPECT_EQ(Tool(Args("files", "ZEL", "", {"--clean"})).exit_code, 1);
    EXPECT_TRUE(sw_.Exists("tarvik_lc.load"));
    const json clean = Doc(Tool(Args("files", "ZEL", "", {"--clean", "--yes", "--json"})));
    EXPECT_EQ(clean["removed"], json({"tarvik_lc.load", "tarvik_prom.load.partial"}));
    EXPECT_FALSE(sw_.Exists("tarvik_prom.load.partial"));

    const json mir = Doc(Tool(Args("files", "MIR", "", {"--code-type", "lc", "--json"})));
    ASSERT_EQ(mir["components"].size(), 1u);
    EXPECT_EQ(mir["components"][0]["files"][0]["name"], "sollum_lc.bin");
}

TEST_F(GwtoolTest, CpldSetsTheCustomNameAndComparesWithTheDevice) {
    auto sim = Start(kZelDevice);  // standard CPLD
    ASSERT_TRUE(sim);
    const RunResult set = Tool(Args("cpld", "ZEL", "", {"--set", "ACME_CPLD_7", "--json"}));
    EXPECT_EQ(set.exit_code, 0) << set.err;
    EXPECT_EQ(Doc(set)["pc_custom_cpld"], "ACME_CPLD_7");
    EXPECT_TRUE(Has(sw_.Read("custom_cpld.txt"), "ACME_CPLD_7"));
    const RunResult mismatch = Tool(Args("cpld", "ZEL", sim->address(), {"--json"}));
    EXPECT_EQ(mismatch.exit_code, 1) << mismatch.err;
    EXPECT_EQ(Doc(mismatch)["device_custom"], false);
    EXPECT_EQ(Doc(mismatch)["result"], "Older");
    const RunResult cleared = Tool(Args("cpld", "ZEL", sim->address(), {"--set", ""}));
    EXPECT_TRUE(cleared.exit_code == 0 && Has(cleared.out, "none")) << cleared.out << cleared.err;
    EXPECT_FALSE(sw_.Exists("custom_cpld.txt"));
}

// Children checking at once take turns at the identity record file.
TEST_F(GwtoolTest, ManyDevicesCheckedAtOnceLeaveOneRecordEach) {
    Firmware(kSame);
    std::vector<std::unique_ptr<gwsim::Simulator>> sims;
    std::string list;
    for (int i = 0; i < 32; ++i) {
        gwsim::DeviceState state = kZelDevice;
        state.serial_number = "ZEL" + std::to_string(7000 + i);
        sims.push_back(Start(state));
        ASSERT_TRUE(sims.back());
        list += sims.back()->address() + "\n";
    }
    logs_.Write("devices.txt", list);
    const RunResult r = Tool(Args(
        "check", "ZEL", "", {"--addresses", logs_.File("devices.txt"), "--jobs", "8", "--json"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Doc(r)["devices"].size(), 32u);
    const std::string records = logs_.Read("Tarvik_Serial_Nums.txt");
    EXPECT_EQ(Lines(records), 32) << records;
    for (int i = 0; i < 32; ++i)
        EXPECT_TRUE(Has(records, "ZEL" + std::to_string(7000 + i))) << i;
}

// A workshop: devices of both families, two answering one query with a status,
// addresses that never complete a connection; scan, check and update them all.
TEST_F(GwtoolTest, GwtoolWorkshopScanCheckAndUpdateEveryDevice) {
    Firmware(kNewer);
    std::vector<std::unique_ptr<gwsim::Simulator>> sims;
    Strings scan = {"scan", "--json"};
    std::string list, listening;  // ADDRESS FAMILY, a line each
    for (int i = 0; i < 36; ++i) {
        const bool zel = i % 2 == 0;
        gwsim::DeviceState state = zel ? kZelDevice : kMirDevice;
        state.serial_number = (zel ? "ZEL" : "MIR") + std::to_string(8000 + i);
        state.reboot_ms = 0;
        // Two devices answer their PROM query with a status.
        const std::string prom = zel ? "status:code=0x10000000,status=2" : "status:code=3,status=2";
        sims.push_back(Start(state, i < 2 ? Strings{prom} : Strings{}));
        ASSERT_TRUE(sims.back());
        if (i >= 28)
            sims.back()->SetConnectionFault(gwsim::ConnectionFault::NeverComplete);
        scan.push_back(sims.back()->address());
        list += scan.back() + (zel ? " ZEL\n" : " MIR\n");
        listening = i < 28 ? list : listening;
    }
    const RunResult found = Tool(scan);
    EXPECT_EQ(found.exit_code, 0) << found.err;
    std::string hits;
    const json found_doc = Doc(found);
    for (const json& hit : found_doc["devices"])
        hits += hit["address"].get<std::string>() + " " + hit["family"].get<std::string>() + "\n";
    EXPECT_EQ(hits, listening);

    logs_.Write("devices.txt", list);
    const Strings devices = {"--addresses", logs_.File("devices.txt")};
    const RunResult checked = Tool(Args("check", "ZEL", "", {devices[0], devices[1], "--json"}));
    EXPECT_EQ(checked.exit_code, 3) << checked.err;
    const json rows = Doc(checked)["devices"];
    ASSERT_EQ(rows.size(), 36u);
    for (size_t i = 0; i < 36; ++i) {
        EXPECT_EQ(rows[i]["address"], scan[i + 2]);
        EXPECT_EQ(rows[i]["exit_code"], i >= 28 ? 3 : i < 2 ? 5 : 1) << i << rows[i].dump();
    }
    EXPECT_TRUE(Has(Tool(Args("check", "ZEL", "", devices)).out, "36 devices: 28 reachable"));

    RunOptions patient;
    patient.timeout = std::chrono::seconds(600);
    const json after =
        Doc(Tool(Args("update", "ZEL", "", {devices[0], devices[1], "--yes", "--json"}),
                 patient))["devices"];
    ASSERT_EQ(after.size(), 36u);
    for (size_t i = 2; i < 28; ++i) {
        EXPECT_EQ(after[i]["exit_code"], 0) << i << after[i].dump();
        EXPECT_EQ(after[i]["final"]["differences"], false) << i;
    }
    const std::string records = logs_.Read("Tarvik_Serial_Nums.txt");
    for (size_t i = 0; i < 28; i += 2)
        EXPECT_TRUE(Has(records, "ZEL" + std::to_string(8000 + i))) << i;
    EXPECT_EQ(Lines(records), 14) << records;
}

TEST(GwtoolDemo, TakesBothFamiliesFromOlderToSame) {
    const RunResult r = Tool({"demo", "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json doc = Doc(r);
    EXPECT_EQ(doc["outcome"], "every component Same");
    ASSERT_EQ(doc["devices"].size(), 2u);
    std::string updated;  // FAMILY COMPONENT OUTCOME, a line each
    for (const json& device : doc["devices"]) {
        EXPECT_EQ(device["initial"]["differences"], true) << device;
        EXPECT_EQ(device["final"]["differences"], false) << device;
        for (const json& c : device["final"]["components"])
            EXPECT_EQ(c["result"], c["component"] == "R318" ? "no cable" : "Same") << c;
        for (const json& u : device["updates"])
            updated += device["family"].get<std::string>() + " " +
                       u["update"]["component"].get<std::string>() + " " +
                       u["outcome"].get<std::string>() + "\n";
    }
    EXPECT_EQ(updated,
              "ZEL BS verified\nZEL PROM verified\nZEL MAC verified\nMIR PROM verified\n"
              "MIR LC verified\n");
    EXPECT_FALSE(std::filesystem::exists(doc["software_dir"].get<std::string>()));
}

}  // namespace
