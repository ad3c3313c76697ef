// A session recorded through the proxy in front of a simulated device of each
// TCP family replays to the same `gwtool check --json` output as the live
// device gave. gwtool runs as a child process.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/support/loopback.h"
#include "tests/support/child.h"
#include "tests/tools/session_support.h"

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

class TempDir {
public:
    explicit TempDir(const std::string& what) {
        static std::atomic<int> counter{0};
        path_ =
            fs::temp_directory_path() / ("gwsim_replay_" + what + "_" + std::to_string(getpid()) +
                                         "_" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string str() const { return path_.string(); }
    void Firmware(const std::string& name, const std::string& release) const {
        std::ofstream(path_ / name, std::ios::binary)
            << std::string(
                   "\x7f"
                   "ELF",
                   4)
            << std::string(100, '\0') << "@(#)RELEASE=" << release << std::string(1, '\0')
            << "tail";
    }

private:
    fs::path path_;
};

struct FamilyCase {
    const char* family;
    gwsim::Family id;
    std::vector<const char*> faults;
    std::vector<std::pair<const char*, const char*>> firmware;
};

// The check's document without the one thing that differs on purpose: where
// the device was.
json CheckDocument(const RunResult& r) {
    json doc = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "not one JSON document:\n" << r.out << "\n" << r.err;
    if (doc.is_discarded())
        return json();
    EXPECT_EQ(doc.value("reachable", false), true) << r.out;
    doc.erase("address");
    return doc;
}

TEST(SessionGwtool, ReplayGivesTheLiveCheckOutputForEachTcpFamily) {
    const FamilyCase cases[] = {
        {"ZEL",
         gwsim::Family::ZEL,
         {"split:code=0x20000000,size=3,pause=4", "late:code=0x80000000",
          "garbage:code=0x200,pause=120"},
         {{"tarvik_lc.bin", "CPOD_LC_R2.11.0"},
          {"tarvik_prom.bin", "CPOD_PROM_R1.4.0"},
          {"tarvik_bootstrap.bin", "CPOD_BOOT_R1.0.2"},
          {"tessan_cable.hex", "CPOD_TSN_R2.4"}}},
        {"MIR",
         gwsim::Family::MIR,
         {"split:code=2,size=5,pause=4", "late:code=1"},
         {{"sollum_lc.bin", "MIR Release 3.5"}, {"sollum_prom.bin", "MIR Release 1.0"}}},
    };
    for (const FamilyCase& c : cases) {
        SCOPED_TRACE(c.family);
        TempDir software(std::string(c.family) + "_software"),
            logs(std::string(c.family) + "_logs");
        for (const auto& f : c.firmware)
            software.Firmware(f.first, f.second);
        auto args = [&](const std::string& address) {
            return std::vector<std::string>{
                "check",          "--family",     c.family,    "--address", address,
                "--software-dir", software.str(), "--log-dir", logs.str(),  "--json"};
        };
        std::string error;
        auto sim =
            zrtest::StartSimulator(gwsim::DeviceState::Default(c.id), gwsim::Options(), &error);
        ASSERT_TRUE(sim) << error;
        for (const char* spec : c.faults) {
            gwsim::Fault f;
            ASSERT_TRUE(gwsim::ParseFault(spec, &f, &error)) << error;
            sim->AddFault(f);
        }

        const RunResult live = RunTool(args(sim->address()));
        const json live_doc = CheckDocument(live);

        sessiontest::TempFile file(c.family);
        auto proxy = sessiontest::StartProxy(*sim, file.path(), &error);
        ASSERT_TRUE(proxy) << error;
        const RunResult proxied = RunTool(args(proxy->address()));
        EXPECT_TRUE(proxy->WaitForIdle(std::chrono::seconds(5)));
        proxy->Stop();
        EXPECT_EQ(proxied.exit_code, live.exit_code) << proxied.err;
        EXPECT_EQ(CheckDocument(proxied), live_doc);

        gwsim::Session session;
        ASSERT_TRUE(gwsim::LoadSession(file.path(), &session, &error)) << error;
        EXPECT_GT(session.exchanges.size(), 2u);
        auto replay = sessiontest::StartReplay(session, true, &error);
        ASSERT_TRUE(replay) << error;
        const RunResult replayed = RunTool(args(replay->address()));
        replay->Stop();
        EXPECT_EQ(replayed.exit_code, live.exit_code) << replayed.err;
        EXPECT_EQ(CheckDocument(replayed), live_doc);
        EXPECT_TRUE(replay->Unmatched().empty());
        EXPECT_EQ(replay->RequestCount(), session.exchanges.size());
    }
}

}  // namespace
