// 10,000 check cycles against a simulated device, then 1,000 with faults mixed
// in (faults that need no timeout), in one process, on one checker: open file
// descriptors, threads and resident memory stay flat. The counts are measured
// after a warm-up and at the end and written to the test's output.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/testenv.h"
#include "tests/support/loopback.h"
#include "tools/gwsim/simulator.h"
#include "zodaruruvizi/devices/valuestore.h"
#include "zodaruruvizi/zodaruruvizi.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Resources {
    long fds = 0, threads = 0, rssKb = 0;
    std::string Describe() const {
        return "fds=" + std::to_string(fds) + " threads=" + std::to_string(threads) +
               " rss=" + std::to_string(rssKb) + "kB";
    }
};

long StatusField(const std::string& name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    }
    return -1;
}

Resources Measure() {
    Resources r;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
         it != std::filesystem::directory_iterator(); ++it)
        ++r.fds;
    r.threads = StatusField("Threads");
    r.rssKb = StatusField("VmRSS");
    return r;
}

// A fault that needs no timeout, chosen by the cycle number.
gwsim::Fault MixedFault(int cycle) {
    static const uint32_t kCodes[] = {0x20000000, 0x10000000, 0x01000000, 0x800,
                                      0x200,      0x20000,    0x80000000};
    gwsim::Fault f;
    f.code = kCodes[cycle % 7];
    f.times = 1;
    switch ((cycle / 7) % 5) {
        case 0:
            f.kind = gwsim::FaultKind::Status;
            f.status = 5;
            break;
        case 1:
            f.kind = gwsim::FaultKind::Split;
            f.segment_size = 5;
            f.pause_ms = 0;
            break;
        case 2:
            f.kind = gwsim::FaultKind::LateReplyFirst;
            break;
        case 3:
            // The rest of a reply declared too long may swallow the next reply
            // on the connection (a 10 s wait): only where nothing follows.
            f.kind = gwsim::FaultKind::Oversized;
            f.code = cycle % 2 ? 0x20000000u : 0x80000000u;
            break;
        default:
            f.kind = gwsim::FaultKind::Oversized;
            f.oversize = gwsim::OversizeMode::MoreThanRoom;
            break;
    }
    return f;
}

TEST(Soak, ThousandsOfChecksKeepResourcesFlat) {
    zrtest::GatewayDirs dirs;
    zrtest::CapturedLog log;
    const gwsim::DeviceState state = gwsim::DeviceState::Default(gwsim::Family::ZEL);
    dirs.WriteFirmware("tarvik_lc.bin", state.lc_release);
    dirs.WriteFirmware("tarvik_prom.bin", "CPOD_PROM_R1.5.0");  // newer on the PC
    dirs.WriteFirmware("tarvik_bootstrap.bin", state.bootstrap_release);
    dirs.WriteFirmware("tessan_cable.hex", state.cable_version);
    gwsim::Options options;
    options.software_dir = dirs.software.path();
    std::string error;
    auto sim = zrtest::StartSimulator(state, options, &error);
    ASSERT_TRUE(sim) << error;

    CGatewayChecks checks("ZEL");
    checks.SetAddress(inet_addr(sim->address().c_str()));
    const std::string expected = "LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,";

    const int kWarmUp = 200, kHealthy = 10000, kFaulty = 1000;
    int mismatches = 0;
    Resources warm;
    const auto started = Clock::now();
    for (int i = 0; i < kHealthy; ++i) {
        if (i == kWarmUp)
            warm = Measure();
        mismatches += checks.CheckForUpdates(true).ToString().str() == expected ? 0 : 1;
        if (i % 1000 == 999) {
            sim->ClearRequests();
            log.Clear();
        }
    }
    const auto healthyTook = Clock::now() - started;
    EXPECT_EQ(mismatches, 0);

    for (int i = 0; i < kFaulty; ++i) {
        sim->AddFault(MixedFault(i));
        checks.CheckForUpdates(true);
        sim->ClearFaults();
        if (i % 100 == 99) {
            sim->ClearRequests();
            log.Clear();
        }
    }
    EXPECT_EQ(checks.CheckForUpdates(true).ToString().str(), expected);
    const auto took = Clock::now() - started;
    const Resources end = Measure();

    const auto seconds = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 1000.0;
    };
    printf("soak: %d healthy checks in %.1f s, %d with faults, %.1f s in all\n", kHealthy,
           seconds(healthyTook), kFaulty, seconds(took));
    printf("soak: after warm-up %s; at the end %s\n", warm.Describe().c_str(),
           end.Describe().c_str());

    // A connection the device has not yet closed may be counted at either point.
    EXPECT_LE(end.fds, warm.fds + 2) << "file descriptors leaked";
    EXPECT_EQ(end.threads, warm.threads) << "threads leaked";
    // Memory: generous, since allocators keep what they got; a leak of one
    // socket buffer or sub-stream per cycle would go far beyond it.
    EXPECT_LT(end.rssKb, warm.rssKb + 16 * 1024) << "resident memory grew";
}

}  // namespace
