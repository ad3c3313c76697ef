// Resets taking staged images, rebooting, and updates from a file path.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "tests/support/loopback.h"
#include "tests/support/processenv.h"
#include "tests/support/frames.h"
#include "tools/gwsim/simulator.h"

namespace fs = std::filesystem;
using rawclient::Bytes;
using rawclient::Client;
using rawclient::ConnectResult;
using rawclient::Request;
using rawclient::ToBytes;
using std::chrono::milliseconds;

namespace {

const milliseconds kWait(5000);

// A software directory of its own for each test, removed at its end.
class SoftwareDir {
public:
    SoftwareDir() {
        static std::atomic<int> counter{0};
        path_ =
            fs::temp_directory_path() / ("gwsim_sw_" + std::to_string(zrtest::CurrentProcessId()) +
                                         "_" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~SoftwareDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // A firmware file: some binary bytes, the marker and the release, more bytes.
    void Write(const std::string& name, const std::string& release_line) const {
        std::ofstream out(file(name), std::ios::binary);
        std::string head(
            "\x7f"
            "ELF\0\0\x01\x02 firmware ",
            18);
        out << head << release_line << std::string("\0\0tail", 6);
    }
    bool Exists(const std::string& name) const { return fs::exists(path_ / name); }

private:
    fs::path path_;
};

gwsim::DeviceState Zel() {
    return gwsim::DeviceState::Default(gwsim::Family::ZEL);
}
gwsim::DeviceState Mir() {
    return gwsim::DeviceState::Default(gwsim::Family::MIR);
}

std::unique_ptr<gwsim::Simulator> Start(const gwsim::DeviceState& state, const SoftwareDir& dir) {
    gwsim::Options o;
    o.software_dir = dir.str();
    std::string error;
    auto sim = zrtest::StartSimulator(state, o, &error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

// Sends a reset and checks the answer and that the device then hangs up.
void Reset(gwsim::Simulator& sim, uint8_t kind, uint32_t code) {
    Client c;
    ASSERT_EQ(c.Connect(sim.address(), sim.port()), ConnectResult::Connected);
    auto r = c.Exchange(Request(kind, 77, code, 0, 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, kind | 0x80);
    EXPECT_EQ(r->status, 0u);
    EXPECT_TRUE(c.WaitClosed(kWait));
}

struct StagedCase {
    const char* name;
    gwsim::DeviceState before;
    const char* file;
    std::string content;  // the line after the binary head
    std::function<void(const gwsim::DeviceState&)> check;
};

gwsim::DeviceState WithCable(gwsim::CableType cable, const char* version) {
    gwsim::DeviceState s = Zel();
    s.cable = cable;
    s.cable_version = version;
    return s;
}

gwsim::DeviceState CustomCpld(uint32_t revision) {
    gwsim::DeviceState s = Zel();
    s.cpld_custom = true;
    s.cpld_revision = revision;
    return s;
}

TEST(GwsimUpdates, ResetTakesEachStagedImageWithItsMeaning) {
    const gwsim::DeviceState zel = Zel();
    std::vector<StagedCase> cases = {
        {"LC", zel, "tarvik_lc.load", "@(#)RELEASE=CPOD_LC_R2.11.0\r\nmore",
         [](const gwsim::DeviceState& s) { EXPECT_EQ(s.lc_release, "CPOD_LC_R2.11.0"); }},
        {"PROM, white space trimmed", zel, "tarvik_prom.load", "@(#)RELEASE=  CPOD_PROM_R1.5 \n",
         [](const gwsim::DeviceState& s) { EXPECT_EQ(s.prom_release, "CPOD_PROM_R1.5"); }},
        {"bootstrap", zel, "tarvik_bootstrap.load", "@(#)RELEASE=CPOD_BOOT_R1.1",
         [](const gwsim::DeviceState& s) { EXPECT_EQ(s.bootstrap_release, "CPOD_BOOT_R1.1"); }},
        {"CPLD custom: last number is the revision", zel, "tarvik_cpld.load",
         "@(#)RELEASE=CUSTOM CPLD 7 build 12",
         [](const gwsim::DeviceState& s) {
             EXPECT_TRUE(s.cpld_custom);
             EXPECT_EQ(s.cpld_revision, 12u);
         }},
        {"CPLD standard", CustomCpld(4), "tarvik_cpld.load", "@(#)RELEASE=STANDARD CORVEL CPLD",
         [](const gwsim::DeviceState& s) { EXPECT_FALSE(s.cpld_custom); }},
        {"MAC image on a MAC cable", WithCable(gwsim::CableType::Mac, "CPOD_TSN_R2.4"),
         "tarvik_mac.load", "@(#)RELEASE=CPOD_TSN_R2.5",
         [](const gwsim::DeviceState& s) { EXPECT_EQ(s.cable_version, "CPOD_TSN_R2.5"); }},
        {"MAC image on an R318 cable", WithCable(gwsim::CableType::R318, "CPOD_R318_R1.7"),
         "tarvik_mac.load", "@(#)RELEASE=CPOD_TSN_R2.5",
         [](const gwsim::DeviceState& s) { EXPECT_EQ(s.cable_version, "CPOD_R318_R1.7"); }},
        {"R318 image on an R318 cable", WithCable(gwsim::CableType::R318, "CPOD_R318_R1.7"),
         "tarvik_r318.load", "@(#)RELEASE=CPOD_R318_R1.8",
         [](const gwsim::DeviceState& s) { EXPECT_EQ(s.cable_version, "CPOD_R318_R1.8"); }},
        {"R318 image without a cable", WithCable(gwsim::CableType::None, ""), "tarvik_r318.load",
         "@(#)RELEASE=CPOD_R318_R1.8",
         [](const gwsim::DeviceState& s) {
             EXPECT_EQ(s.cable, gwsim::CableType::None);
             EXPECT_EQ(s.cable_version, "");
         }},
        {"image without a release", zel, "tarvik_lc.load", "no marker here",
         [zel](const gwsim::DeviceState& s) { EXPECT_EQ(s.lc_release, zel.lc_release); }},
        {"shipped image is not staged", zel, "tarvik_lc.bin", "@(#)RELEASE=CPOD_LC_R9",
         [zel](const gwsim::DeviceState& s) { EXPECT_EQ(s.lc_release, zel.lc_release); }},
    };
    for (const StagedCase& k : cases) {
        SCOPED_TRACE(k.name);
        SoftwareDir dir;
        dir.Write(k.file, k.content);
        auto sim = Start(k.before, dir);
        ASSERT_TRUE(sim);
        Reset(*sim, 0x02, 0x80000000);
        EXPECT_EQ(sim->ResetCount(), 1u);
        gwsim::DeviceState after = sim->State();
        k.check(after);
        bool staged = std::string(k.file).find(".load") != std::string::npos;
        EXPECT_EQ(dir.Exists(k.file), !staged) << "a staged image is consumed, nothing else";
        // Nothing but the component concerned changed.
        gwsim::DeviceState expected = after;
        expected.lc_release = k.before.lc_release;
        expected.prom_release = k.before.prom_release;
        expected.bootstrap_release = k.before.bootstrap_release;
        expected.cpld_custom = k.before.cpld_custom;
        expected.cpld_revision = k.before.cpld_revision;
        expected.cable_version = k.before.cable_version;
        EXPECT_EQ(expected, k.before);
    }
}

TEST(GwsimUpdates, ResetTakesAllStagedImagesAtOnceBeforeAnswering) {
    SoftwareDir dir;
    dir.Write("tarvik_lc.load", "@(#)RELEASE=CPOD_LC_R5");
    dir.Write("tarvik_prom.load", "@(#)RELEASE=CPOD_PROM_R6");
    dir.Write("tarvik_mac.load", "@(#)RELEASE=CPOD_TSN_R7");
    auto sim = Start(Zel(), dir);
    ASSERT_TRUE(sim);
    Client c;
    ASSERT_EQ(c.Connect(sim->address(), 9191), ConnectResult::Connected);
    c.Send(Request(0x02, 5, 0x80000000, 0, 0));
    auto r = c.ReadReply();
    ASSERT_TRUE(r);
    // The answer is there: the images have been taken already.
    gwsim::DeviceState s = sim->State();
    EXPECT_EQ(s.lc_release, "CPOD_LC_R5");
    EXPECT_EQ(s.prom_release, "CPOD_PROM_R6");
    EXPECT_EQ(s.cable_version, "CPOD_TSN_R7");
    EXPECT_TRUE(c.WaitClosed(kWait));
    // The next connection sees the new releases.
    Client c2;
    ASSERT_EQ(c2.Connect(sim->address(), 9191), ConnectResult::Connected);
    auto lc = c2.Exchange(Request(0x01, 6, 0x20000000));
    ASSERT_TRUE(lc);
    EXPECT_EQ(lc->text(), "CPOD_LC_R5");
    auto events = sim->Events();
    bool reset_event = false;
    for (const auto& e : events)
        reset_event |= e.type == gwsim::EventType::Reset;
    EXPECT_TRUE(reset_event);
}

TEST(GwsimUpdates, MirResetTakesOnlyTheLcImage) {
    SoftwareDir dir;
    dir.Write("sollum_lc.load", "@(#)RELEASE=MIR Release 4.0");
    dir.Write("sollum_prom.load", "@(#)RELEASE=MIR Release 9.9");
    dir.Write("tarvik_lc.load", "@(#)RELEASE=CPOD_LC_R1");
    auto sim = Start(Mir(), dir);
    ASSERT_TRUE(sim);
    Reset(*sim, 0x12, 0x1000000);
    gwsim::DeviceState s = sim->State();
    EXPECT_EQ(s.lc_release, "MIR Release 4.0");
    EXPECT_EQ(s.prom_release, Mir().prom_release);
    EXPECT_FALSE(dir.Exists("sollum_lc.load"));
    EXPECT_TRUE(dir.Exists("sollum_prom.load"));
    EXPECT_TRUE(dir.Exists("tarvik_lc.load"));
}

TEST(GwsimUpdates, SoftwareDirFromTheEnvironment) {
    SoftwareDir dir;
    dir.Write("tarvik_bootstrap.load", "@(#)RELEASE=CPOD_BOOT_R8");
    zrtest::SetProcessEnv("GATEWAY_SOFTWARE_DIR", dir.str().c_str());
    std::string error;
    auto sim = zrtest::StartSimulator(Zel(), gwsim::Options(), &error);
    ASSERT_TRUE(sim) << error;
    Reset(*sim, 0x02, 0x80000000);
    EXPECT_EQ(sim->State().bootstrap_release, "CPOD_BOOT_R8");
    zrtest::SetProcessEnv("GATEWAY_SOFTWARE_DIR", nullptr);
}

TEST(GwsimUpdates, RebootRefusesConnectionsForItsTime) {
    SoftwareDir dir;
    gwsim::DeviceState s = Zel();
    s.reboot_ms = 400;
    auto sim = Start(s, dir);
    ASSERT_TRUE(sim);
    Reset(*sim, 0x02, 0x80000000);
    ASSERT_TRUE(sim->WaitForListening(false, kWait));
    auto down = std::chrono::steady_clock::now();
    Client refused;
    EXPECT_EQ(refused.Connect(sim->address(), 9191), ConnectResult::Refused);
    ASSERT_TRUE(sim->WaitForListening(true, kWait));
    EXPECT_GE(std::chrono::steady_clock::now() - down, milliseconds(300));
    Client c;
    ASSERT_EQ(c.Connect(sim->address(), 9191), ConnectResult::Connected);
    EXPECT_TRUE(c.Exchange(Request(0x01, 1, 0x20000000)));
    EXPECT_EQ(sim->ConnectionCount(), 2u);
}

TEST(GwsimUpdates, WithoutRebootTimeTheNextConnectionIsServedAtOnce) {
    SoftwareDir dir;
    auto sim = Start(Zel(), dir);
    ASSERT_TRUE(sim);
    for (int i = 0; i < 3; ++i)
        Reset(*sim, 0x02, 0x80000000);
    EXPECT_EQ(sim->ResetCount(), 3u);
    EXPECT_TRUE(sim->IsListening());
}

Bytes PathPayload(const std::string& path, size_t size) {
    Bytes b(path.begin(), path.end());
    b.push_back(0);
    if (b.size() < size)
        b.resize(size, 0);
    return b;
}

// The PC sends Windows-style paths: the last separator is a backslash.
std::string PcPath(const SoftwareDir& dir, const std::string& name) {
    return dir.str() + "\\" + name;
}

TEST(GwsimUpdates, ActiveCableUpdateFromAPath) {
    struct Case {
        const char* name;
        gwsim::CableType cable;
        const char* file_line;  // nullptr: no file
        std::string path_name;
        uint32_t status;
        const char* version_after;
    };
    std::vector<Case> cases = {
        {"MAC cable", gwsim::CableType::Mac, "@(#)RELEASE=CPOD_TSN_R3.0", "", 0, "CPOD_TSN_R3.0"},
        {"R318 cable", gwsim::CableType::R318, "@(#)RELEASE=CPOD_R318_R2.0", "", 0,
         "CPOD_R318_R2.0"},
        {"no cable", gwsim::CableType::None, "@(#)RELEASE=CPOD_TSN_R3.0", "", 2, "old"},
        {"no release in the file", gwsim::CableType::Mac, "nothing", "", 2, "old"},
        {"empty release", gwsim::CableType::Mac, "@(#)RELEASE=   \n", "", 2, "old"},
        {"no such file", gwsim::CableType::Mac, nullptr, "", 2, "old"},
        {"relative path: in the software directory", gwsim::CableType::Mac,
         "@(#)RELEASE=CPOD_TSN_R3.1", "tessan_cable.hex", 0, "CPOD_TSN_R3.1"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        SoftwareDir dir;
        if (k.file_line)
            dir.Write("tessan_cable.hex", k.file_line);
        gwsim::DeviceState s = Zel();
        s.cable = k.cable;
        s.cable_version = "old";
        auto sim = Start(s, dir);
        ASSERT_TRUE(sim);
        std::string path = k.path_name.empty() ? PcPath(dir, "tessan_cable.hex") : k.path_name;
        Client c;
        ASSERT_EQ(c.Connect(sim->address(), 9191), ConnectResult::Connected);
        auto r = c.Exchange(
            Request(0x01, 9, 0x00000400, 0, uint32_t(path.size() + 1), PathPayload(path, 0)));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status);
        EXPECT_TRUE(r->data.empty());
        EXPECT_EQ(sim->State().cable_version, k.version_after);
        EXPECT_EQ(sim->ResetCount(), 0u);
    }
}

TEST(GwsimUpdates, MirPromUpdateFromAPath) {
    struct Case {
        const char* name;
        const char* file_line;
        uint32_t status;
        const char* prom_after;
    };
    std::vector<Case> cases = {
        {"release taken", "@(#)RELEASE=MIR Release 1.3", 0, "MIR Release 1.3"},
        {"release ends at 127 bytes", nullptr, 0, nullptr},
        {"no release", "@(#)RELEASE=", 2, "MIR Release 1.2"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        SoftwareDir dir;
        std::string expected;
        if (k.file_line) {
            dir.Write("sollum_prom.bin", k.file_line);
            expected = k.prom_after;
        } else {
            dir.Write("sollum_prom.bin", "@(#)RELEASE=" + std::string(200, 'P'));
            expected = std::string(127, 'P');
        }
        gwsim::DeviceState s = Mir();
        s.prom_release = "MIR Release 1.2";
        auto sim = Start(s, dir);
        ASSERT_TRUE(sim);
        Client c;
        ASSERT_EQ(c.Connect(sim->address(), 9181), ConnectResult::Connected);
        // The 128-byte path buffer, as the PC sends it.
        auto r = c.Exchange(
            Request(0x11, 3, 9, 0, 128, PathPayload(PcPath(dir, "sollum_prom.bin"), 128)));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status);
        EXPECT_EQ(sim->State().prom_release, expected);
        // And the device now answers with it.
        auto prom = c.Exchange(Request(0x11, 4, 3));
        ASSERT_TRUE(prom);
        EXPECT_EQ(prom->text(), expected);
    }
}

TEST(GwsimUpdates, ReleaseMarkerRule) {
    SoftwareDir dir;
    struct Case {
        const char* name;
        std::string content;
        bool found;
        std::string release;
    };
    std::vector<Case> cases = {
        {"plain", "@(#)RELEASE=CPOD_LC_R1", true, "CPOD_LC_R1"},
        {"first marker wins", "@(#)RELEASE=A\n@(#)RELEASE=B", true, "A"},
        {"ends at zero", std::string("@(#)RELEASE=AB\0CD", 17), true, "AB"},
        {"ends at CR", "@(#)RELEASE=AB\rCD", true, "AB"},
        {"tabs trimmed", "@(#)RELEASE=\tAB\t\n", true, "AB"},
        {"no marker", "RELEASE=AB", false, ""},
        {"empty", "@(#)RELEASE=\n", false, ""},
        {"beyond the first MiB", std::string(1024 * 1024, 'x') + "@(#)RELEASE=LATE", false, ""},
        {"near the end of the first MiB", std::string(1024 * 1024 - 20, 'x') + "@(#)RELEASE=EDGE",
         true, "EDGE"},
        {"marker cut by the end of the first MiB",
         std::string(1024 * 1024 - 6, 'x') + "@(#)RELEASE=CUT", false, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        {
            std::ofstream out(dir.file("f.bin"), std::ios::binary | std::ios::trunc);
            out << k.content;
        }
        std::string release = "untouched";
        EXPECT_EQ(gwsim::ReadReleaseFromFile(dir.file("f.bin"), &release), k.found);
        if (k.found) {
            EXPECT_EQ(release, k.release);
        }
    }
    std::string release;
    EXPECT_FALSE(gwsim::ReadReleaseFromFile(dir.file("missing.bin"), &release));
}

}  // namespace
