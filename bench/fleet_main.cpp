// gwtool with many devices: the scan of 36 addresses (28 simulated devices, 8
// whose connections never complete) and a check of 32 devices in one command
// against 32 single checks, the gwtool program run as a child process.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/loopback.h"
#include "tools/gwsim/simulator.h"

namespace fs = std::filesystem;

namespace {

const int kRuns = 3;

// The median of kRuns runs, in seconds; negative when a run failed.
double Median(const std::function<bool()>& run) {
    std::vector<double> seconds;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!run())
            return -1;
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[kRuns / 2];
}

// Runs a command line; false when it exited above `worst_ok` or did not exit.
bool Run(const std::string& command, int worst_ok) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) <= worst_ok;
}

}  // namespace

int main() {
    const fs::path dir =
        fs::temp_directory_path() / ("gwtool-fleet-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "sw");
    const std::string tool = std::string(GWTOOL_PATH) + " ";
    const std::string where =
        " --software-dir " + (dir / "sw").string() + " --log-dir " + (dir / "logs").string();
    std::vector<std::unique_ptr<gwsim::Simulator>> sims;
    std::vector<std::string> live, silent;
    for (int i = 0; i < 40; ++i) {
        const bool zel = i % 2 == 0;
        gwsim::DeviceState state =
            gwsim::DeviceState::Default(zel ? gwsim::Family::ZEL : gwsim::Family::MIR);
        state.serial_number = (zel ? "ZEL" : "MIR") + std::to_string(9000 + i);
        gwsim::Options options;
        options.software_dir = (dir / "sw").string();
        options.log = [](const std::string&) {};
        std::string error;
        sims.push_back(zrtest::StartSimulator(state, options, &error));
        if (!sims.back()) {
            std::fprintf(stderr, "no simulator: %s\n", error.c_str());
            return 1;
        }
        const std::string line = sims.back()->address() + (zel ? " ZEL" : " MIR");
        if (i < 32) {
            live.push_back(line);
        } else {
            sims.back()->SetConnectionFault(gwsim::ConnectionFault::NeverComplete);
            silent.push_back(line);
        }
    }
    std::string scan = tool + "scan";
    for (size_t i = 0; i < 28; ++i)
        scan += " " + live[i].substr(0, live[i].find(' '));
    for (const std::string& s : silent)
        scan += " " + s.substr(0, s.find(' '));
    {
        std::ofstream list(dir / "devices.txt");
        for (const std::string& line : live)
            list << line << "\n";
    }
    const double scan_s = Median([&] { return Run(scan, 0); });
    const double many_s = Median([&] {
        return Run(tool + "check --jobs 8 --addresses " + (dir / "devices.txt").string() + where,
                   5);
    });
    const double single_s = Median([&] {
        for (const std::string& line : live) {
            const size_t gap = line.find(' ');
            if (!Run(tool + "check --address " + line.substr(0, gap) + " --family " +
                         line.substr(gap + 1) + where,
                     5)) {
                return false;
            }
        }
        return true;
    });
    sims.clear();
    std::error_code ec;
    fs::remove_all(dir, ec);

    std::printf("\n| gwtool case (median of %d) | seconds |\n|---|---:|\n", kRuns);
    std::printf("| scan of 36 addresses (28 devices, 8 never completing), 0.5 s timeout | %.2f |\n",
                scan_s);
    std::printf("| check of 32 devices in one command, --jobs 8 | %.2f |\n", many_s);
    std::printf("| 32 single checks, one after the other | %.2f |\n", single_s);
    if (scan_s < 0 || many_s < 0 || single_s < 0) {
        std::printf("A gwtool case could not be measured.\n");
        return 1;
    }
    return 0;
}
