// gwtool as a black box: the program run as a child process against simulated
// devices on loopback, its text and JSON output and its exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/loopback.h"
#include "tests/support/child.h"
#include "tools/gwtool/model.h"
#include "tools/gwtool/targets.h"
#include "tools/gwsim/simulator.h"

#include <unistd.h>

namespace fs = std::filesystem;
using zrtest::RunOptions;
using zrtest::RunResult;
namespace {
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = RunOptions()) {
    return zrtest::RunChild(GWTOOL_PATH, args, options);
}
}  // namespace
using nlohmann::json;

namespace {

// A directory of its own per test, removed at its end.
class TempDir {
public:
    explicit TempDir(const std::string& what) {
        static std::atomic<int> counter{0};
        path_ = fs::temp_directory_path() / ("gwtool_" + what + "_" + std::to_string(getpid()) +
                                             "_" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string str() const { return path_.string(); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int CountLines(const std::string& text) {
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

// The whole of stdout must be one JSON document.
json ParseJson(const RunResult& r) {
    json doc = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "stdout is not one JSON document:\n" << r.out;
    return doc.is_discarded() ? json::object() : doc;
}

const json* FindComponent(const json& check, const std::string& code) {
    for (const json& c : check.at("components")) {
        if (c.at("component") == code)
            return &c;
    }
    return nullptr;
}

std::vector<std::string> Steps(const json& update_doc) {
    std::vector<std::string> steps;
    for (const json& s : update_doc.at("progress"))
        steps.push_back(s.at("step"));
    return steps;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

class GwtoolTest : public ::testing::Test {
protected:
    GwtoolTest() : software_("sw"), logs_("logs") {}

    // A firmware file in the software directory carrying `release`.
    void Firmware(const std::string& name, const std::string& release) {
        std::ofstream out(software_ / name, std::ios::binary);
        out << std::string(
                   "\x7f"
                   "BIN\0\x01 ",
                   7)
            << "@(#)RELEASE=" << release << std::string("\0tail", 5);
    }
    // PC files newer than the default ZEL device in BS, PROM, LC and the cable.
    void NewerZelFirmware() {
        Firmware("tarvik_lc.bin", "CPOD_LC_R2.11.0");
        Firmware("tarvik_prom.bin", "CPOD_PROM_R1.5.0");
        Firmware("tarvik_bootstrap.bin", "CPOD_BOOT_R1.1.0");
        Firmware("tessan_cable.hex", "CPOD_TSN_R2.5");
        Firmware("tarvik_mac.bin", "CPOD_TSN_R2.5");
    }
    // PC files equal to the default ZEL device.
    void SameZelFirmware() {
        Firmware("tarvik_lc.bin", "CPOD_LC_R2.10.3");
        Firmware("tarvik_prom.bin", "CPOD_PROM_R1.4.0");
        Firmware("tarvik_bootstrap.bin", "CPOD_BOOT_R1.0.2");
        Firmware("tessan_cable.hex", "CPOD_TSN_R2.4");
    }

    std::unique_ptr<gwsim::Simulator> Start(gwsim::DeviceState state) {
        gwsim::Options options;
        options.software_dir = software_.str();
        std::string error;
        auto sim = zrtest::StartSimulator(state, options, &error);
        EXPECT_TRUE(sim) << error;
        return sim;
    }

    // A subcommand with the family, the address and this test's directories.
    std::vector<std::string> Args(const std::string& command, const std::string& family,
                                  const std::string& address, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {command, "--family", family};
        if (!address.empty())
            args.insert(args.end(), {"--address", address});
        args.insert(args.end(), {"--software-dir", software_.str(), "--log-dir", logs_.str()});
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    TempDir software_;
    TempDir logs_;
};

gwsim::DeviceState Zel() {
    return gwsim::DeviceState::Default(gwsim::Family::ZEL);
}
gwsim::DeviceState Mir() {
    return gwsim::DeviceState::Default(gwsim::Family::MIR);
}

// ---- arguments ------------------------------------------------------------------

TEST_F(GwtoolTest, BadArgumentsGetOneLineNamingTheArgumentAndExitTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string argument;  // the name the message must carry
    };
    const std::string sw = software_.str();
    const std::vector<Case> cases = {
        {{"check", "--family", "ZEL", "--address", "1.2.3"}, "--address"},
        {{"update", "--family", "MIR", "--address", "::1"}, "--address"},
        {{"check", "--family", "ZEL"}, "--address"},
        {{"check", "--family", "zel", "--address", "127.0.0.1"}, "--family"},
        {{"check", "--family", "MIR ", "--address", "127.0.0.1"}, "--family"},
        {{"values", "--family", "Tarvik", "--address", "127.0.0.1"}, "--family"},
        {{"check", "--address", "127.0.0.1"}, "--family"},
        {{"files", "--family", "ZEL", "--code-type", "FPGA"}, "--code-type"},
        {{"files", "--family", "MIR", "--code-type", "CPLD"}, "--code-type"},
        {{"cpld", "--family", "MIR"}, "--family"},
        {{"update", "--family", "ZEL", "--address", "127.0.0.1", "--reboot-timeout", "-1"},
         "--reboot-timeout"},
        {{"files", "--family", "ZEL", "--software-dir", sw + "/missing"}, "--software-dir"},
        {{"check", "--family", "ZEL", "--address", "127.0.0.1", "--bogus"}, "--bogus"},
        {{"update", "--family", "ZEL", "--address", "127.0.0.1", "--reboot-timeout", "nan"},
         "--reboot-timeout"},
        {{"files", "--family", "ZEL", "--address", "127.0.0.1"}, "--address"},
        {{"chek", "--family", "ZEL"}, "unknown subcommand 'chek'"},
        {{"-v", "check", "--family", "zel", "--address", "127.0.0.1"}, "--family"},
        {{"update", "--family", "ZEL", "--address", "127.0.0.1", "--address", "127.0.0.2"},
         "--yes"},
        {{"check", "--address", "127.0.0.1", "--address", "127.0.0.2"}, "--family"},
        {{"values", "--family", "ZEL", "--addresses", sw + "/missing"}, "--addresses"},
        {{"check", "--family", "ZEL", "--from-scan", "127.0.0.1", "--jobs", "0"}, "--jobs"},
        {{"scan", "127.0.0.0/21"}, "TARGET"},
        {{"scan", "127.0.0.1", "--connect-timeout", "x"}, "--connect-timeout"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        for (bool with_json : {i % 2 == 0}) {
            std::vector<std::string> args = c.args;
            if (with_json)
                args.push_back("--json");
            std::string line;
            for (const auto& a : args)
                line += "'" + a + "' ";
            SCOPED_TRACE(line);
            const RunResult r = RunTool(args);
            EXPECT_EQ(r.exit_code, 2) << r.err;
            EXPECT_EQ(CountLines(r.err), 1) << r.err;
            EXPECT_NE(r.err.find(c.argument), std::string::npos) << r.err;
            if (!with_json) {
                EXPECT_EQ(r.out, "");
                continue;
            }
            const json doc = ParseJson(r);
            ASSERT_TRUE(doc.contains("error")) << r.out;
            EXPECT_EQ(doc["exit_code"], 2);
            EXPECT_NE(doc["error"]["message"].get<std::string>().find(c.argument),
                      std::string::npos);
        }
    }
}

// The spellings of an address and of seconds, and the order of exit codes.
TEST(GwtoolParts, ParseAndRankAsDocumented) {
    for (const char* bad : {"1.2.3.4.5", "256.0.0.1", "127.0.0.01", "0x7f.0.0.1", "localhost",
                            " 127.0.0.1", "127..0.1", "0.0.0.0", "255.255.255.255", "1.2.3.4."}) {
        EXPECT_THROW(gwtool::ParseIPv4(bad, "--address"), gwtool::UsageError) << bad;
    }
    const uint32_t address = gwtool::ParseIPv4("127.1.2.3", "--address");
    EXPECT_EQ(std::memcmp(&address, "\x7f\x01\x02\x03", 4), 0);

    for (const char* bad : {"nan", "inf", "1e308", "abc", "-1", "86401", "1.", ".5", ""}) {
        EXPECT_THROW(gwtool::ParseSeconds(bad, "--reboot-timeout"), gwtool::UsageError) << bad;
    }
    EXPECT_EQ(gwtool::ParseSeconds("0.5", "--reboot-timeout"), 0.5);
    EXPECT_EQ(gwtool::ParseSeconds("86400", "--reboot-timeout"), 86400.0);

    const int order[] = {130, 2, 3, 5, 4, 1, 0};
    for (size_t i = 0; i < 7; ++i) {
        for (size_t j = i; j < 7; ++j)
            EXPECT_EQ(gwtool::MoreUrgent(order[j], order[i]), order[i]) << i << " " << j;
    }
    EXPECT_EQ(gwtool::EscapeControls("a\x1b[31m\tb\x7f\n"), "a\\x1b[31m\\x09b\\x7f\n");

    // Scan targets: repeats once, blocks without network and broadcast, 1,024 at most.
    const std::vector<uint32_t> targets =
        gwtool::ParseTargets({"127.0.0.9", "127.0.0.8-10", "127.0.1.0/30", "127.0.2.7/32"}, "T");
    std::vector<std::string> texts;
    for (uint32_t a : targets)
        texts.push_back(gwtool::AddressText(a));
    EXPECT_EQ(texts, (std::vector<std::string>{"127.0.0.9", "127.0.0.8", "127.0.0.10", "127.0.1.1",
                                               "127.0.1.2", "127.0.2.7"}));
    EXPECT_EQ(gwtool::ParseTargets({"127.0.0.0/22", "127.0.4.1-2"}, "T").size(), 1024u);
    const std::vector<std::vector<std::string>> bad_targets = {{},
                                                               {"127.0.0.10-9"},
                                                               {"127.0.0.1-256"},
                                                               {"127.0.0.0/21"},
                                                               {"127.0.0.0/33"},
                                                               {"127.0.0.0/"},
                                                               {"127.0.0.1-"},
                                                               {"localhost/24"},
                                                               {"127.0.0.0/22", "127.0.4.1-3"}};
    for (const auto& bad : bad_targets)
        EXPECT_THROW(gwtool::ParseTargets(bad, "T"), gwtool::UsageError)
            << ::testing::PrintToString(bad);

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
    EXPECT_NE(RunTool({"--version"}).out.find("(library zodaruruvizi "), std::string::npos);
    for (const char* command : {"check", "update", "values", "files", "cpld", "demo"}) {
        SCOPED_TRACE(command);
        const RunResult r = RunTool({command, "--help"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_NE(r.out.find("--json"), std::string::npos);
        EXPECT_NE(r.out.find("Exit codes"), std::string::npos);
        EXPECT_NE(r.out.find("5  a component other than"), std::string::npos);
    }
    const RunResult update = RunTool({"update", "--help"});
    for (const char* option : {"--yes", "--reboot-timeout", "--verbose", "--software-dir",
                               "--log-dir", "--address", "--family"}) {
        EXPECT_NE(update.out.find(option), std::string::npos) << option;
    }
    EXPECT_NE(RunTool({"cpld", "--help"}).out.find("--set"), std::string::npos);
}

// ---- check ----------------------------------------------------------------------

TEST_F(GwtoolTest, CheckShowsEachComponentAndTheIdentity) {
    NewerZelFirmware();
    auto sim = Start(Zel());
    ASSERT_TRUE(sim);

    const RunResult text = RunTool(Args("check", "ZEL", sim->address()));
    EXPECT_EQ(text.exit_code, 1) << text.err;
    for (const char* expected :
         {"CPOD_BOOT_R1.0.2", "CPOD_BOOT_R1.1.0", "tarvik_bootstrap.bin", "Older", "ZEL0012345",
          "00:50:C2:12:34:56", "00:50:C2:12:34:57", "tessan_cable.hex", "R318"}) {
        EXPECT_NE(text.out.find(expected), std::string::npos) << expected << "\n" << text.out;
    }

    const RunResult r = RunTool(Args("check", "ZEL", sim->address(), {"--json"}));
    EXPECT_EQ(r.exit_code, 1);
    const json doc = ParseJson(r);
    EXPECT_EQ(doc["command"], "check");
    EXPECT_EQ(doc["exit_code"], 1);
    EXPECT_EQ(doc["reachable"], true);
    EXPECT_EQ(doc["differences"], true);
    ASSERT_EQ(doc["components"].size(), 6u);
    struct Row {
        const char* code;
        const char* device;
        json pc;
        const char* result;
        bool checked;
    };
    const Row rows[] = {
        {"BS", "CPOD_BOOT_R1.0.2", "CPOD_BOOT_R1.1.0", "Older", true},
        {"PROM", "CPOD_PROM_R1.4.0", "CPOD_PROM_R1.5.0", "Older", true},
        {"LC", "CPOD_LC_R2.10.3", "CPOD_LC_R2.11.0", "Older", true},
        {"CPLD", "STANDARD CORVEL CPLD", nullptr, "not checked", false},
        {"MAC", "CPOD_TSN_R2.4", "CPOD_TSN_R2.5", "not checked", false},
        {"R318", "Unknown", nullptr, "no cable", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        const json* c = FindComponent(doc, row.code);
        ASSERT_TRUE(c);
        EXPECT_EQ((*c)["device_release"], row.device);
        EXPECT_EQ((*c)["pc_release"], row.pc);
        EXPECT_EQ((*c)["result"], row.result);
        EXPECT_EQ((*c)["checked"], row.checked);
    }
    EXPECT_EQ(doc["identity"]["serial_number"], "ZEL0012345");
    EXPECT_EQ(doc["identity"]["usb_mac_address"], "00:50:C2:12:34:57");
    EXPECT_EQ(sim->ResetCount(), 0u) << "a check must change nothing";
}

// Every row: one device (or none), one firmware folder, faults as `gwsim --fault`
// takes them; the tool must name what it does not know and exit accordingly.
TEST_F(GwtoolTest, FaultsGiveHonestResultsAndExitCodes) {
    struct Row {
        const char* name;
        const char* device;  // zel, zel-nocable, mir, hole, none
        const char* folder;  // same, mir-prom-only, no-marker, empty, env-missing,
                             // default-missing, record-blocked
        std::vector<std::string> faults;
        std::vector<std::string> command;
        int exit_code;
        std::map<std::string, std::string> results;  // component: result
        std::string err;                             // on stderr
        std::string not_err = "\x01";                // never on stderr
        std::string special = "";  // interrupt (Ctrl-C twice), full (stdout), terminal
    };
    const std::vector<Row> rows = {
        {"healthy, one cable",
         "zel",
         "same",
         {},
         {"check"},
         0,
         {{"BS", "Same"}, {"CPLD", "Same"}, {"MAC", "Same"}, {"R318", "no cable"}},
         "",
         "warning"},
        {"no cable at all",
         "zel-nocable",
         "same",
         {},
         {"check"},
         0,
         {{"MAC", "no cable"}, {"R318", "no cable"}},
         "",
         "warning"},
        {"PROM status",
         "zel",
         "same",
         {"status:code=0x10000000,status=2"},
         {"check"},
         5,
         {{"PROM", "not read"}, {"LC", "Same"}},
         "no PROM release"},
        {"bootstrap 0xFFFF",
         "zel",
         "same",
         {"status:code=0x01000000,status=0xFFFF"},
         {"check"},
         5,
         {{"BS", "not read"}},
         "no bootstrap release"},
        {"PROM oversized",
         "zel",
         "same",
         {"oversize:code=0x10000000,mode=room"},
         {"check"},
         5,
         {{"PROM", "not read"}},
         ""},
        {"update, PROM unread",
         "zel",
         "same",
         {"status:code=0x10000000,status=2"},
         {"update", "--yes"},
         5,
         {{"PROM", "not read"}},
         "Not known whether",
         "Nothing to update"},
        {"update, all same", "zel", "same", {}, {"update"}, 0, {}, "Nothing to update"},
        {"LC answered with a status",
         "zel",
         "same",
         {"status:code=0x20000000,status=2"},
         {"check"},
         3,
         {{"LC", "not read"}},
         "no usable reply",
         "did not answer"},
        {"refused",
         "hole",
         "same",
         {},
         {"check"},
         3,
         {{"LC", "not read"}, {"MAC", "not read"}},
         "refused the connection"},
        {"MIR PROM status",
         "mir",
         "mir-prom-only",
         {"status:code=3,status=2"},
         {"check"},
         5,
         {{"PROM", "not read"}, {"LC", "no PC file"}},
         ""},
        {"file without release",
         "zel",
         "no-marker",
         {},
         {"check"},
         5,
         {{"PROM", "no PC file"}},
         "tarvik_prom.bin in"},
        {"empty folder",
         "zel",
         "empty",
         {},
         {"check"},
         5,
         {{"BS", "no PC file"}, {"CPLD", "Same"}, {"R318", "no cable"}},
         "is empty"},
        {"folder from the environment missing",
         "zel",
         "env-missing",
         {},
         {"check"},
         2,
         {},
         "/missing' (GATEWAY_SOFTWARE_DIR) does not exist"},
        {"default folder missing",
         "zel",
         "default-missing",
         {},
         {"update"},
         2,
         {},
         "gateway_software' (the default"},
        {"files, folder missing", "none", "env-missing", {}, {"files"}, 2, {}, "does not exist"},
        {"identity record unwritable",
         "zel",
         "record-blocked",
         {},
         {"check"},
         0,
         {},
         "could not write the identity record file"},
        {"Tarvik II",
         "none",
         "same",
         {},
         {"check", "--family", "Tarvik II"},
         0,
         {},
         "reports them up to date by design"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir folder("fault_sw");
        TempDir tmp("fault_tmp");
        RunOptions env;
        std::vector<std::string> args = row.command;
        args.insert(args.end(), {"--json", "--log-dir", logs_.str()});
        if (std::find(args.begin(), args.end(), "--family") == args.end())
            args.insert(args.end(), {"--family", row.device[0] == 'm' ? "MIR" : "ZEL"});
        const std::string folder_kind = row.folder;
        if (folder_kind == "env-missing") {
            env.env["GATEWAY_SOFTWARE_DIR"] = (folder / "missing").string();
        } else if (folder_kind == "default-missing") {
            env.env["TMPDIR"] = tmp.str();
        } else {
            args.insert(args.end(), {"--software-dir", folder.str()});
        }
        auto file = [&](const std::string& name, const std::string& release) {
            std::ofstream(folder / name, std::ios::binary)
                << "x @(#)RELEASE=" << release << std::string("\0", 1);
        };
        if (folder_kind == "same" || folder_kind == "no-marker" ||
            folder_kind == "record-blocked") {
            file("tarvik_lc.bin", "CPOD_LC_R2.10.3");
            file("tarvik_prom.bin", "CPOD_PROM_R1.4.0");
            file("tarvik_bootstrap.bin", "CPOD_BOOT_R1.0.2");
            file("tessan_cable.hex", "CPOD_TSN_R2.4");
            file("sollum_lc.bin", "MIR Release 3.4");
            file("sollum_prom.bin", "MIR Release 1.2");
        }
        if (folder_kind == "lc-newer" || folder_kind == "bs-newer-no-lc") {
            file("tarvik_prom.bin", "CPOD_PROM_R1.4.0");
            file("tessan_cable.hex", "CPOD_TSN_R2.4");
            file("tarvik_bootstrap.bin", "CPOD_BOOT_R1.0.2");
        }
        if (folder_kind == "lc-newer")
            file("tarvik_lc.bin", "CPOD_LC_R2.11.0");
        if (folder_kind == "bs-newer-no-lc")
            file("tarvik_bootstrap.bin", "CPOD_BOOT_R1.1.0");
        if (folder_kind == "mir-prom-only")
            file("sollum_prom.bin", "MIR Release 1.2");
        if (folder_kind == "no-marker")
            std::ofstream(folder / "tarvik_prom.bin") << "no marker";
        if (folder_kind == "record-blocked") {
            fs::remove(logs_ / "Tarvik_Serial_Nums.txt");
            fs::create_directories(logs_ / "Tarvik_Serial_Nums.txt");
        }

        std::unique_ptr<gwsim::Simulator> sim;
        std::unique_ptr<zrtest::AddressHole> hole;
        const std::string device = row.device;
        if (device == "hole") {
            hole = std::make_unique<zrtest::AddressHole>();
            args.insert(args.end(), {"--address", hole->address()});
        } else if (device != "none") {
            gwsim::DeviceState state = device == "mir" ? Mir() : Zel();
            if (device == "zel-nocable")
                state.cable = gwsim::CableType::None;
            if (device == "zel-slow")
                state.reboot_ms = 60000;
            if (device == "zel-escape")
                state.serial_number = "ZEL\x1b[31m";
            gwsim::Options options;
            options.software_dir = folder.str();
            std::string error;
            sim = zrtest::StartSimulator(state, options, &error);
            ASSERT_TRUE(sim) << error;
            for (const std::string& spec : row.faults) {
                gwsim::Fault fault;
                ASSERT_TRUE(gwsim::ParseFault(spec, &fault, &error)) << error;
                sim->AddFault(fault);
            }
            args.insert(args.end(), {"--address", sim->address()});
        }
        if (row.special == "interrupt")
            env.interrupt_after = {"waiting for the device", "second Ctrl-C"};
        if (row.special == "full") {
            if (!fs::exists("/dev/full"))
                continue;  // Linux only
            env.stdout_path = "/dev/full";
        }
        env.terminal = row.special == "terminal";
        const RunResult r = RunTool(args, env);
        EXPECT_EQ(r.exit_code, row.exit_code) << r.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(row.not_err), std::string::npos) << r.err;
        if (row.special == "full")
            continue;
        const json doc = ParseJson(r);
        EXPECT_EQ(doc["schema_version"], 2);
        const json& check = doc.contains("before") ? doc["before"] : doc;
        for (const auto& expected : row.results) {
            const json* c = FindComponent(check, expected.first);
            ASSERT_TRUE(c) << expected.first;
            EXPECT_EQ((*c)["result"], expected.second) << c->dump();
        }
        if (sim) {
            EXPECT_EQ(sim->ResetCount(), row.special == "interrupt" ? 1u : 0u);
        }
        if (row.device == std::string("none") && row.exit_code == 0) {
            EXPECT_EQ(doc["reachable"], nullptr);
        }
        if (folder_kind == "record-blocked")
            fs::remove_all(logs_ / "Tarvik_Serial_Nums.txt");
    }
}

// ---- update ---------------------------------------------------------------------

TEST_F(GwtoolTest, UpdateInstallsTheFirstDifferingComponentAndVerifiesIt) {
    NewerZelFirmware();
    auto sim = Start(Zel());
    ASSERT_TRUE(sim);
    const RunResult r = RunTool(Args("update", "ZEL", sim->address(), {"--json"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json doc = ParseJson(r);
    EXPECT_EQ(doc["outcome"], "verified");
    EXPECT_EQ(doc["update"]["component"], "BS");
    EXPECT_NE(doc["update"]["reason"].get<std::string>().find("CPOD_BOOT_R1.0.2"),
              std::string::npos);
    EXPECT_EQ((*FindComponent(doc["before"], "BS"))["result"], "Older");
    EXPECT_EQ((*FindComponent(doc["after"], "BS"))["device_release"], "CPOD_BOOT_R1.1.0");
    EXPECT_EQ((*FindComponent(doc["after"], "BS"))["result"], "Same");
    EXPECT_EQ((*FindComponent(doc["after"], "PROM"))["result"], "Older");
    const std::vector<std::string> steps = Steps(doc);
    for (const char* step :
         {"worker running", "worker done", "waiting for the device", "verifying"}) {
        EXPECT_TRUE(Contains(steps, step)) << step;
    }
    EXPECT_EQ(sim->ResetCount(), 1u);
    EXPECT_EQ(sim->State().bootstrap_release, "CPOD_BOOT_R1.1.0");

    // Without a terminal the progress comes as plain lines on stderr.
    EXPECT_NE(r.err.find("] worker running\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("] verifying\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
}

TEST_F(GwtoolTest, UpdateInTextPrintsBeforeReasonProgressAndAfter) {
    Firmware("sollum_lc.bin", "MIR Release 3.5");
    Firmware("sollum_prom.bin", "MIR Release 1.2");
    auto sim = Start(Mir());
    ASSERT_TRUE(sim);
    const RunResult r = RunTool(Args("update", "MIR", sim->address(), {"--yes"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const size_t before = r.out.find("Before the update");
    const size_t reason = r.out.find("Will update LC");
    const size_t after = r.out.find("After the update");
    const size_t verdict = r.out.find("Update of LC verified");
    ASSERT_NE(before, std::string::npos) << r.out;
    ASSERT_NE(reason, std::string::npos) << r.out;
    ASSERT_NE(after, std::string::npos) << r.out;
    ASSERT_NE(verdict, std::string::npos) << r.out;
    EXPECT_LT(before, reason);
    EXPECT_LT(reason, after);
    EXPECT_LT(after, verdict);
    EXPECT_NE(r.err.find("worker done"), std::string::npos) << r.err;
    EXPECT_EQ(sim->State().lc_release, "MIR Release 3.5");
}

TEST_F(GwtoolTest, UpdateThatDoesNotTakeFailsWithOne) {
    Firmware("sollum_prom.bin", "MIR Release 1.3");
    Firmware("sollum_lc.bin", "MIR Release 3.4");
    auto sim = Start(Mir());
    ASSERT_TRUE(sim);
    gwsim::Fault refuse;
    refuse.kind = gwsim::FaultKind::Status;
    refuse.code = gwsim::kMirUpdateProm;
    refuse.status = gwsim::kStatusNoRelease;
    sim->AddFault(refuse);
    const RunResult r = RunTool(Args("update", "MIR", sim->address(), {"--json"}));
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const json doc = ParseJson(r);
    EXPECT_EQ(doc["update"]["component"], "PROM");
    EXPECT_EQ(doc["outcome"], "failed");
    EXPECT_EQ((*FindComponent(doc["after"], "PROM"))["result"], "Older");
    EXPECT_NE(doc["explanation"].dump().find("still reports the old release"), std::string::npos);
}

TEST_F(GwtoolTest, UpdateOfADeviceThatStaysAwayIsPending) {
    SameZelFirmware();
    Firmware("tarvik_lc.bin", "CPOD_LC_R2.11.0");
    gwsim::DeviceState state = Zel();
    state.reboot_ms = 60000;
    auto sim = Start(state);
    ASSERT_TRUE(sim);
    const RunResult r =
        RunTool(Args("update", "ZEL", sim->address(), {"--json", "--reboot-timeout", "0.5"}));
    EXPECT_EQ(r.exit_code, 4) << r.err;
    const json doc = ParseJson(r);
    EXPECT_EQ(doc["outcome"], "pending");
    EXPECT_EQ(doc["after"], nullptr);
    EXPECT_TRUE(Contains(Steps(doc), "waiting for the device"));
    EXPECT_FALSE(Contains(Steps(doc), "verifying"));
    EXPECT_EQ(sim->ResetCount(), 1u);
}

TEST_F(GwtoolTest, UpdateWaitsForTheRebootThenVerifies) {
    SameZelFirmware();
    Firmware("tarvik_lc.bin", "CPOD_LC_R2.11.0");
    gwsim::DeviceState state = Zel();
    state.reboot_ms = 1500;
    auto sim = Start(state);
    ASSERT_TRUE(sim);
    const RunResult r =
        RunTool(Args("update", "ZEL", sim->address(), {"--json", "--reboot-timeout", "30"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json doc = ParseJson(r);
    EXPECT_EQ(doc["outcome"], "verified");
    double verifying_at = -1;
    for (const json& s : doc["progress"]) {
        if (s["step"] == "verifying")
            verifying_at = s["elapsed_s"];
    }
    EXPECT_GE(verifying_at, 1.4) << "verified before the device was back";
}

TEST_F(GwtoolTest, UpdateShowsTheStagedImageWhileTheWorkerRuns) {
    SameZelFirmware();
    Firmware("tarvik_lc.bin", "CPOD_LC_R2.11.0");
    auto sim = Start(Zel());
    ASSERT_TRUE(sim);
    // Slow down the request that comes between staging and the reset.
    gwsim::Fault slow;
    slow.kind = gwsim::FaultKind::Split;
    slow.code = gwsim::kZelRequestSerialNumber;
    slow.segment_size = 2;
    slow.pause_ms = 100;
    sim->AddFault(slow);
    const RunResult r = RunTool(Args("update", "ZEL", sim->address(), {"--json"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json doc = ParseJson(r);
    const std::vector<std::string> steps = Steps(doc);
    const auto staged = std::find(steps.begin(), steps.end(), "images staged");
    const auto done = std::find(steps.begin(), steps.end(), "worker done");
    ASSERT_NE(staged, steps.end());
    EXPECT_LT(staged, done);
    EXPECT_FALSE(fs::exists(software_ / "tarvik_lc.load")) << "the device took the image";
}

TEST_F(GwtoolTest, VerboseShowsTheMonitorLines) {
    SameZelFirmware();
    auto sim = Start(Zel());
    ASSERT_TRUE(sim);
    const RunResult quiet = RunTool(Args("check", "ZEL", sim->address()));
    EXPECT_EQ(quiet.err.find("[RT_COMMS_I]"), std::string::npos) << quiet.err;
    const RunResult r = RunTool(Args("check", "ZEL", sim->address(), {"--verbose", "--json"}));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("[RT_COMMS_I] CPLD REV:"), std::string::npos) << r.err;
    ParseJson(r);
}

TEST_F(GwtoolTest, OnATerminalItAsksAndDrawsASpinner) {
    SameZelFirmware();
    Firmware("tarvik_lc.bin", "CPOD_LC_R2.11.0");
    auto sim = Start(Zel());
    ASSERT_TRUE(sim);
    RunOptions terminal;
    terminal.terminal = true;
    terminal.terminal_input = "n\n";
    const RunResult declined = RunTool(Args("update", "ZEL", sim->address()), terminal);
    EXPECT_EQ(declined.exit_code, 1) << declined.err;
    EXPECT_NE(declined.err.find("[y/N]"), std::string::npos) << declined.err;
    EXPECT_EQ(sim->ResetCount(), 0u);

    terminal.terminal_input = "y\n";
    const RunResult accepted = RunTool(Args("update", "ZEL", sim->address()), terminal);
    EXPECT_EQ(accepted.exit_code, 0) << accepted.err;
    EXPECT_NE(accepted.err.find("\r\033[K"), std::string::npos) << accepted.err;
    EXPECT_NE(accepted.err.find("worker running"), std::string::npos) << accepted.err;
    EXPECT_EQ(sim->ResetCount(), 1u);

    // --yes does not ask, even on a terminal.
    sim->SetState(Zel());
    terminal.terminal_input.clear();
    const RunResult yes = RunTool(Args("update", "ZEL", sim->address(), {"--yes"}), terminal);
    EXPECT_EQ(yes.exit_code, 0) << yes.err;
    EXPECT_EQ(yes.err.find("[y/N]"), std::string::npos) << yes.err;
}

// ---- values, files, cpld, locations -------------------------------------------------

TEST_F(GwtoolTest, ValuesDumpsTheValueStore) {
    auto sim = Start(Zel());
    ASSERT_TRUE(sim);
    const RunResult r = RunTool(Args("values", "ZEL", sim->address(), {"--json"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json values = ParseJson(r)["values"];
    EXPECT_EQ(values["Tarvik_SerialNum"], "ZEL0012345");
    EXPECT_EQ(values["Tarvik_Release_Untrimmed"], "CPOD_LC_R2.10.3");
    EXPECT_EQ(values["Tarvik_Release"], "R2.10.3");
    const RunResult text = RunTool(Args("values", "ZEL", sim->address()));
    EXPECT_NE(text.out.find("Tarvik_MACAddress"), std::string::npos) << text.out;
}

TEST_F(GwtoolTest, FilesListsShippedStagedAndCableFiles) {
    Firmware("tarvik_lc.bin", "CPOD_LC_R2.11.0");
    Firmware("tarvik_lc.load", "CPOD_LC_R2.12.0");
    Firmware("tessan_cable.hex", "CPOD_TSN_R2.5");
    std::ofstream(software_ / "tarvik_prom.bin") << "no marker here";

    const RunResult r = RunTool(Args("files", "ZEL", "", {"--json"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const json doc = ParseJson(r);
    EXPECT_EQ(doc["software_dir"], fs::absolute(software_.str()).lexically_normal().string());
    ASSERT_EQ(doc["components"].size(), 6u);
    std::map<std::string, json> files;  // "LC shipped" -> file
    for (const json& c : doc["components"]) {
        for (const json& f : c["files"]) {
            files[c["component"].get<std::string>() + " " + f["role"].get<std::string>()] = f;
        }
    }
    struct Expect {
        const char* key;
        const char* name;
        bool present;
        json release;
    };
    const Expect expected[] = {
        {"LC shipped", "tarvik_lc.bin", true, "CPOD_LC_R2.11.0"},
        {"LC staged", "tarvik_lc.load", true, "CPOD_LC_R2.12.0"},
        {"PROM shipped", "tarvik_prom.bin", true, nullptr},
        {"BS staged", "tarvik_bootstrap.load", false, nullptr},
        {"MAC cable", "tessan_cable.hex", true, "CPOD_TSN_R2.5"},
        {"R318 cable", "r318_cable.hex", false, nullptr},
        {"R318 shipped", "tarvik_r318.bin", false, nullptr},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.key);
        ASSERT_TRUE(files.count(e.key));
        EXPECT_EQ(files[e.key]["name"], e.name);
        EXPECT_EQ(files[e.key]["present"], e.present);
        EXPECT_EQ(files[e.key]["release"], e.release);
    }
    EXPECT_FALSE(files.count("LC cable"));
    EXPECT_EQ(doc["stale"], json({"tarvik_lc.load"}));

    // Left-over staged and partial files go only when asked, or with --yes.
    std::ofstream(software_ / "tarvik_prom.load.partial") << "part";
    EXPECT_EQ(RunTool(Args("files", "ZEL", "", {"--clean"})).exit_code, 1);
    EXPECT_TRUE(fs::exists(software_ / "tarvik_lc.load"));
    const RunResult clean = RunTool(Args("files", "ZEL", "", {"--clean", "--yes", "--json"}));
    EXPECT_EQ(ParseJson(clean)["removed"], json({"tarvik_lc.load", "tarvik_prom.load.partial"}));
    EXPECT_FALSE(fs::exists(software_ / "tarvik_prom.load.partial"));

    const RunResult one = RunTool(Args("files", "MIR", "", {"--code-type", "lc", "--json"}));
    EXPECT_EQ(one.exit_code, 0) << one.err;
    const json mir = ParseJson(one);
    ASSERT_EQ(mir["components"].size(), 1u);
    EXPECT_EQ(mir["components"][0]["files"][0]["name"], "sollum_lc.bin");
}

TEST_F(GwtoolTest, CpldSetsTheCustomNameAndComparesWithTheDevice) {
    auto sim = Start(Zel());  // standard CPLD
    ASSERT_TRUE(sim);
    const RunResult set = RunTool(Args("cpld", "ZEL", "", {"--set", "ACME_CPLD_7", "--json"}));
    EXPECT_EQ(set.exit_code, 0) << set.err;
    EXPECT_EQ(ParseJson(set)["pc_custom_cpld"], "ACME_CPLD_7");
    EXPECT_NE(ReadFile(software_ / "custom_cpld.txt").find("ACME_CPLD_7"), std::string::npos);

    const RunResult mismatch = RunTool(Args("cpld", "ZEL", sim->address(), {"--json"}));
    EXPECT_EQ(mismatch.exit_code, 1) << mismatch.err;
    const json doc = ParseJson(mismatch);
    EXPECT_EQ(doc["device_custom"], false);
    EXPECT_EQ(doc["result"], "Older");

    const RunResult cleared = RunTool(Args("cpld", "ZEL", sim->address(), {"--set", ""}));
    EXPECT_EQ(cleared.exit_code, 0) << cleared.err;
    EXPECT_NE(cleared.out.find("none"), std::string::npos) << cleared.out;
    EXPECT_FALSE(fs::exists(software_ / "custom_cpld.txt"));
}

TEST_F(GwtoolTest, LocationsComeFromTheEnvironmentUnlessOverridden) {
    TempDir other("other_sw");
    Firmware("tarvik_lc.bin", "CPOD_LC_R9.9.9");
    RunOptions env;
    env.env["GATEWAY_SOFTWARE_DIR"] = software_.str();
    env.env["GATEWAY_LOG_DIR"] = logs_.str();

    const RunResult from_env =
        RunTool({"files", "--family", "ZEL", "--code-type", "LC", "--json"}, env);
    EXPECT_EQ(from_env.exit_code, 0) << from_env.err;
    EXPECT_EQ(ParseJson(from_env)["components"][0]["files"][0]["release"], "CPOD_LC_R9.9.9");

    const RunResult overridden = RunTool(
        {"files", "--family", "ZEL", "--code-type", "LC", "--software-dir", other.str(), "--json"},
        env);
    EXPECT_EQ(overridden.exit_code, 0) << overridden.err;
    EXPECT_EQ(ParseJson(overridden)["components"][0]["files"][0]["present"], false);

    // The identity record goes to the log directory: the environment's, or --log-dir.
    auto sim = Start(Zel());
    ASSERT_TRUE(sim);
    TempDir other_logs("other_logs");
    EXPECT_EQ(RunTool({"check", "--family", "ZEL", "--address", sim->address()}, env).exit_code, 5);
    EXPECT_NE(ReadFile(logs_ / "Tarvik_Serial_Nums.txt").find("ZEL0012345"), std::string::npos);
    EXPECT_EQ(RunTool({"check", "--family", "ZEL", "--address", sim->address(), "--log-dir",
                       other_logs.str()},
                      env)
                  .exit_code,
              5);
    EXPECT_NE(ReadFile(other_logs / "Tarvik_Serial_Nums.txt").find("ZEL0012345"),
              std::string::npos);
}

// ---- many devices ---------------------------------------------------------------

std::string WriteList(const fs::path& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines)
        out << line << "\n";
    return path.string();
}

// Children checking at once take turns at the identity record file.
TEST_F(GwtoolTest, ManyDevicesCheckedAtOnceLeaveOneRecordEach) {
    SameZelFirmware();
    std::vector<std::unique_ptr<gwsim::Simulator>> sims;
    std::vector<std::string> lines;
    for (int i = 0; i < 32; ++i) {
        gwsim::DeviceState state = Zel();
        state.serial_number = "ZEL" + std::to_string(7000 + i);
        sims.push_back(Start(state));
        ASSERT_TRUE(sims.back());
        lines.push_back(sims.back()->address());
    }
    const std::string list = WriteList(logs_ / "devices.txt", lines);
    const RunResult r =
        RunTool(Args("check", "ZEL", "", {"--addresses", list, "--jobs", "8", "--json"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ParseJson(r)["devices"].size(), 32u);
    const std::string records = ReadFile(logs_ / "Tarvik_Serial_Nums.txt");
    EXPECT_EQ(CountLines(records), 32) << records;
    for (int i = 0; i < 32; ++i)
        EXPECT_NE(records.find("ZEL" + std::to_string(7000 + i)), std::string::npos) << i;
}

// A workshop: devices of both families, two answering one query with a status,
// addresses that never complete a connection; scan, check and update them all.
TEST_F(GwtoolTest, GwtoolWorkshopScanCheckAndUpdateEveryDevice) {
    for (const auto& file : std::vector<std::pair<const char*, const char*>>{
             {"tarvik_lc.bin", "CPOD_LC_R2.11.0"},
             {"tarvik_prom.bin", "CPOD_PROM_R1.5.0"},
             {"tarvik_bootstrap.bin", "CPOD_BOOT_R1.1.0"},
             {"tessan_cable.hex", "CPOD_TSN_R2.5"},
             {"tarvik_mac.bin", "CPOD_TSN_R2.5"},
             {"sollum_lc.bin", "MIR Release 3.5"},
             {"sollum_prom.bin", "MIR Release 1.3"}}) {
        Firmware(file.first, file.second);
    }
    std::vector<std::unique_ptr<gwsim::Simulator>> sims;
    std::vector<std::string> targets, lines;
    for (int i = 0; i < 36; ++i) {
        const bool zel = i % 2 == 0;
        gwsim::DeviceState state = zel ? Zel() : Mir();
        state.serial_number = (zel ? "ZEL" : "MIR") + std::to_string(8000 + i);
        state.reboot_ms = 0;
        if (zel) {
            state.lc_release = "CPOD_LC_R2.10.3";
            state.prom_release = "CPOD_PROM_R1.4.0";
            state.bootstrap_release = "CPOD_BOOT_R1.0.2";
            state.cable = gwsim::CableType::Mac;
            state.cable_version = "CPOD_TSN_R2.4";
        } else {
            state.lc_release = "MIR Release 3.4";
            state.prom_release = "MIR Release 1.2";
        }
        sims.push_back(Start(state));
        ASSERT_TRUE(sims.back());
        if (i >= 28)
            sims.back()->SetConnectionFault(gwsim::ConnectionFault::NeverComplete);
        targets.push_back(sims.back()->address());
        lines.push_back(sims.back()->address() + " " + (zel ? "ZEL" : "MIR"));
    }
    gwsim::Fault status;
    status.status = 2;
    status.code = 0x10000000;  // the ZEL PROM release
    sims[0]->AddFault(status);
    status.code = 3;  // the MIR PROM release
    sims[1]->AddFault(status);

    std::vector<std::string> scan = {"scan", "--json"};
    scan.insert(scan.end(), targets.begin(), targets.end());
    const RunResult found = RunTool(scan);
    EXPECT_EQ(found.exit_code, 0) << found.err;
    const json hits = ParseJson(found)["devices"];
    EXPECT_EQ(hits.size(), 28u) << found.out;
    for (const json& hit : hits) {
        const auto at = std::find(targets.begin(), targets.end(), hit["address"]);
        ASSERT_NE(at, targets.end());
        EXPECT_LT(at - targets.begin(), 28);
        EXPECT_EQ(hit["family"], (at - targets.begin()) % 2 == 0 ? "ZEL" : "MIR");
    }

    const std::string list = WriteList(logs_ / "devices.txt", lines);
    const RunResult checked = RunTool(Args("check", "ZEL", "", {"--addresses", list, "--json"}));
    EXPECT_EQ(checked.exit_code, 3) << checked.err;
    const json rows = ParseJson(checked)["devices"];
    ASSERT_EQ(rows.size(), 36u);
    for (size_t i = 0; i < 36; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i]["address"], targets[i]);
        EXPECT_EQ(rows[i]["exit_code"], i >= 28 ? 3 : i < 2 ? 5 : 1) << rows[i].dump();
    }
    const RunResult text = RunTool(Args("check", "ZEL", "", {"--addresses", list}));
    EXPECT_NE(text.out.find("36 devices: 28 reachable"), std::string::npos) << text.out;

    RunOptions patient;
    patient.timeout = std::chrono::seconds(600);
    const RunResult updated =
        RunTool(Args("update", "ZEL", "", {"--addresses", list, "--yes", "--json"}), patient);
    const json after = ParseJson(updated)["devices"];
    ASSERT_EQ(after.size(), 36u);
    for (size_t i = 2; i < 28; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(after[i]["exit_code"], 0) << after[i].dump();
        EXPECT_EQ(after[i]["final"]["differences"], false);
    }
    const std::string records = ReadFile(logs_ / "Tarvik_Serial_Nums.txt");
    for (size_t i = 0; i < 28; i += 2)
        EXPECT_NE(records.find("ZEL" + std::to_string(8000 + i)), std::string::npos) << i;
    EXPECT_EQ(CountLines(records), 14) << records;
}

// ---- demo -----------------------------------------------------------------------

TEST(GwtoolDemo, TakesBothFamiliesFromOlderToSame) {
    const RunResult r = RunTool({"demo", "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_LT(r.seconds, 60.0);
    const json doc = ParseJson(r);
    EXPECT_EQ(doc["outcome"], "every component Same");
    ASSERT_EQ(doc["devices"].size(), 2u);
    std::map<std::string, std::vector<std::string>> updated;
    for (const json& device : doc["devices"]) {
        const std::string family = device["family"];
        EXPECT_EQ(device["initial"]["differences"], true) << family;
        EXPECT_EQ(device["final"]["differences"], false) << family;
        for (const json& c : device["final"]["components"]) {
            EXPECT_EQ(c["result"], c["component"] == "R318" ? "no cable" : "Same")
                << family << " " << c.dump();
        }
        for (const json& u : device["updates"]) {
            EXPECT_EQ(u["outcome"], "verified") << family;
            updated[family].push_back(u["update"]["component"]);
        }
    }
    EXPECT_EQ(updated["ZEL"], (std::vector<std::string>{"BS", "PROM", "MAC"}));
    EXPECT_EQ(updated["MIR"], (std::vector<std::string>{"PROM", "LC"}));
    EXPECT_FALSE(fs::exists(doc["software_dir"].get<std::string>()))
        << "the demo leaves its temporary directory behind";

    const RunResult text = RunTool({"demo"});
    EXPECT_EQ(text.exit_code, 0) << text.err;
    EXPECT_NE(text.out.find("Older"), std::string::npos);
    EXPECT_NE(text.out.find("Every component of the ZEL device is Same"), std::string::npos);
    EXPECT_NE(text.out.find("Every component of the MIR device is Same"), std::string::npos);
}

}  // namespace
