// The library against the limits of the machine: each case runs the library
// and the floor (a minimal blocking-socket client, plain file calls) side by
// side, interleaved, against the in-process simulated device on loopback, and
// the program ends with a table of the medians and their ratios.
//
// The simulator's own CPU time per request is measured as the process's CPU
// time less the benchmark thread's, over the requests it served.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/floor.h"
#include "tests/support/loopback.h"
#include "tools/gwsim/simulator.h"
#include "zodaruruvizi/devices/valuestore.h"
#include "zodaruruvizi/devices/identityrecords.h"
#include "zodaruruvizi/zodaruruvizi.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const uint16_t kZelPort = 9191;
const char kIdentityFile[] = "Tarvik_Serial_Nums.txt";
const uint8_t kKindDeviceCommand = 0x01;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Micro(double seconds) {
    return Format("%.1f µs", seconds * 1e6);
}
std::string Milli(double seconds) {
    return Format("%.2f ms", seconds * 1e3);
}

// ---- the table -----------------------------------------------------------------

struct Row {
    std::string item;
    std::string library;
    std::string floor;
    std::string ratio;
    std::string target;
    std::string verdict;  // "yes", "NO", or "-" without a target
    std::string simulator;
};

std::vector<Row> g_rows;
std::vector<std::string> g_notes;
int g_missed = 0;
int g_errors = 0;  // cases that could not be measured

// Ends a case that could not be measured; the run then exits 1.
void Stop(benchmark::State& state, const char* why) {
    ++g_errors;
    state.SkipWithError(why);
}

void AddRow(Row row) {
    g_rows.push_back(std::move(row));
}

// A row with a ratio target: ok when low <= ratio <= high.
void AddRatioRow(const std::string& item, const std::string& library, const std::string& floor,
                 double ratio, double low, double high, const std::string& target,
                 const std::string& simulator) {
    const bool ok = ratio >= low && ratio <= high;
    if (!ok)
        ++g_missed;
    AddRow({item, library, floor, Format("%.2f×", ratio), target, ok ? "yes" : "NO", simulator});
}

void PrintTable() {
    std::printf("\n| case | library | floor | ratio | target | met | simulator CPU/request |\n");
    std::printf("|---|---:|---:|---:|---|---|---:|\n");
    for (const Row& r : g_rows) {
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", r.item.c_str(), r.library.c_str(),
                    r.floor.c_str(), r.ratio.c_str(), r.target.c_str(), r.verdict.c_str(),
                    r.simulator.c_str());
    }
    std::printf("\n");
    for (const std::string& note : g_notes)
        std::printf("- %s\n", note.c_str());
    std::printf("\n%s\n", g_missed == 0 ? "All targets met." : "TARGETS MISSED.");
    std::fflush(stdout);
}

// ---- environment -----------------------------------------------------------------

void NoMonitor(void*, const char*, const char*) {}
void NoError(void*, const char*, int) {}

// A temporary tree: software/ (firmware files), logs/ (the identity record
// file), floor/ (the floor's copy of it), and further log directories.
class BenchDirs {
public:
    BenchDirs() {
        const fs::path base = fs::temp_directory_path();
        for (int n = 0;; ++n) {
            fs::path candidate = base / ("zrbench-" + std::to_string(GetCurrentProcessId()) + "-" +
                                         std::to_string(n));
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
                root_ = candidate;
                break;
            }
        }
        fs::create_directories(software());
        fs::create_directories(logs());
        fs::create_directories(floor());
        SetEnvironmentVariableA("GATEWAY_SOFTWARE_DIR", software().c_str());
        UseLogDir(logs());
    }
    ~BenchDirs() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    BenchDirs(const BenchDirs&) = delete;
    BenchDirs& operator=(const BenchDirs&) = delete;

    std::string software() const { return (root_ / "software").string(); }
    std::string logs() const { return (root_ / "logs").string(); }
    std::string floor() const { return (root_ / "floor").string(); }
    std::string Dir(const std::string& name) const {
        fs::create_directories(root_ / name);
        return (root_ / name).string();
    }
    static void UseLogDir(const std::string& dir) {
        SetEnvironmentVariableA("GATEWAY_LOG_DIR", dir.c_str());
    }

    void WriteFirmware(const std::string& name, const std::string& release) const {
        std::string content(
            "\x7f"
            "ELF\x01\x02",
            6);
        content += std::string(300, '\0');
        content += "@(#)RELEASE=" + release;
        content += std::string("\0\x13\x37 trailing", 11);
        benchfloor::WriteWholeFile((root_ / "software" / name).string(), content);
    }

private:
    fs::path root_;
};

BenchDirs* g_dirs = nullptr;

// Every case runs with the same placement: the simulator's threads on CPU 1,
// this thread (the library and the floor) on CPU 0, so that a reply always
// arrives from another core, as from a network card. Left to the scheduler,
// the two threads share a core in some runs and not in others, and the
// figures of a run jump with it. Case 1 is shown with both on one core too.
bool g_pinned = false;

std::unique_ptr<gwsim::Simulator> StartDevice(const gwsim::DeviceState& state,
                                              int simulatorCpu = 1) {
    gwsim::Options options;
    options.software_dir = g_dirs->software();
    std::string error;
    const bool pinned = benchfloor::RunOnCpu(simulatorCpu);  // its threads start here
    auto sim = zrtest::StartSimulator(state, options, &error);
    g_pinned = pinned && benchfloor::RunOnCpu(0);
    if (!sim)
        std::fprintf(stderr, "bench: cannot start the simulator: %s\n", error.c_str());
    return sim;
}

// The simulator's CPU time per request since construction: the process's CPU
// time less this thread's (the only two threads that work during a case).
class SimulatorMeter {
public:
    explicit SimulatorMeter(const gwsim::Simulator& sim)
        : sim_(sim),
          process_(benchfloor::ProcessCpuSeconds()),
          thread_(benchfloor::ThreadCpuSeconds()),
          requests_(sim.RequestCount()) {}
    double PerRequest() const {
        const double others = (benchfloor::ProcessCpuSeconds() - process_) -
                              (benchfloor::ThreadCpuSeconds() - thread_);
        const size_t requests = sim_.RequestCount() - requests_;
        return requests ? others / double(requests) : 0;
    }

private:
    const gwsim::Simulator& sim_;
    double process_;
    double thread_;
    size_t requests_;
};

// ---- 1. one exchange -----------------------------------------------------------------

const uint32_t kLcRelease = 0x20000000;

void BM_OneExchange(benchmark::State& state) {
    const bool sameCore = state.range(0) != 0;
    gwsim::DeviceState device = gwsim::DeviceState::Default(gwsim::Family::ZEL);
    device.lc_release = "CPOD_LC_BENCH_40_BYTE_REPLY_TEXT_R2.10.3";  // 40 bytes
    auto sim = StartDevice(device, sameCore ? 0 : 1);
    if (!sim)
        return Stop(state, "simulator");
    const size_t kTextLength = device.lc_release.size();

    CGatewayComms comms(kZelPort);
    comms.SetIPAddress(inet_addr(sim->address().c_str()));
    benchfloor::Client floor;
    const int kBlock = 200;
    std::vector<double> library, plain;
    bool libraryFirst = true;
    SimulatorMeter meter(*sim);
    for (auto _ : state) {
        double blockTime = 0;
        for (int pass = 0; pass < 2; ++pass) {
            if ((pass == 0) == libraryFirst) {
                if (!comms.OpenSocket())
                    return Stop(state, "OpenSocket");
                for (int i = 0; i <= kBlock; ++i) {
                    const Clock::time_point start = Clock::now();
                    CSubStream stream;
                    char text[128];
                    DWORD length = sizeof text;
                    DWORD status = 0;
                    VSI_GetSerialNumber(stream, kLcRelease, &length, text, 0, &status);
                    const bool ok = comms.ExecuteSubCommand(stream, 10000);
                    const double t = Since(start);
                    if (!ok || status != 0 || length != kTextLength) {
                        return Stop(state, "library exchange failed");
                    }
                    if (i > 0)
                        library.push_back(t), blockTime += t;
                }
                comms.CloseSocket();
            } else {
                if (!floor.Connect(sim->address(), kZelPort))
                    return Stop(state, "connect");
                for (int i = 0; i <= kBlock; ++i) {
                    const Clock::time_point start = Clock::now();
                    char text[128];
                    uint32_t status = 1;
                    const long n = floor.Exchange(kKindDeviceCommand, kLcRelease, 0, sizeof text,
                                                  text, sizeof text, &status);
                    const double t = Since(start);
                    if (n != long(kTextLength) || status != 0) {
                        return Stop(state, "floor exchange failed");
                    }
                    if (i > 0)
                        plain.push_back(t);
                }
                floor.Close();
            }
        }
        libraryFirst = !libraryFirst;
        state.SetIterationTime(blockTime);
    }
    const double lib = Median(library);
    const double flo = Median(plain);
    const double simCost = meter.PerRequest();
    state.counters["library_us"] = lib * 1e6;
    state.counters["floor_us"] = flo * 1e6;
    state.counters["ratio"] = lib / flo;
    state.counters["sim_cpu_us_per_request"] = simCost * 1e6;
    const std::string item =
        "1. one exchange, 40-byte text reply, " +
        std::string(sameCore ? "simulator on the same core" : "reply from another core") +
        " (median of " + std::to_string(library.size()) + ")";
    if (sameCore) {
        // No cross-core wake-up: the round trip is shortest, and the library's
        // third system call per exchange (the wait, then the read, where the
        // floor's blocking read does both) weighs most.
        AddRow({item, Micro(lib), Micro(flo), Format("%.2f×", lib / flo), "(shown)", "-",
                Micro(simCost)});
        return;
    }
    AddRatioRow(item, Micro(lib), Micro(flo), lib / flo, 0, 1.2, "≤ 1.2×", Micro(simCost));
}

// ---- 2. a full first-generation read ---------------------------------------------------

struct Query {
    uint32_t code;
    uint32_t qualifier;
    uint32_t room;
};

// The exchanges of a first-generation read of a device with a standard CPLD.
const Query kReadQueries[] = {
    {0x20000000, 0, 128},           // LC release
    {0x10000000, 0, 128},           // PROM release
    {0x01000000, 0, 128},           // bootstrap release
    {0x00000800, 0, 4},             // CPLD revision
    {0x00000200, 0, 128},           // active-cable version
    {0x00020000, 0x88000000, 128},  // network MAC address
    {0x00020000, 0x48000000, 128},  // USB MAC address
    {0x80000000, 0, 128},           // serial number
};

void WriteMatchingFirmware(const gwsim::DeviceState& device) {
    g_dirs->WriteFirmware("tarvik_lc.bin", device.lc_release);
    g_dirs->WriteFirmware("tarvik_prom.bin", device.prom_release);
    g_dirs->WriteFirmware("tarvik_bootstrap.bin", device.bootstrap_release);
    g_dirs->WriteFirmware("tessan_cable.hex", device.cable_version);
    g_dirs->WriteFirmware("tarvik_mac.bin", device.cable_version);
}

// The floor's read: the same exchanges on a fresh connection, then the identity
// file read and written back with plain file calls. False on a failure.
bool FloorRead(benchfloor::Client& floor, const std::string& address, const std::string& path,
               const std::string& record) {
    if (!floor.Connect(address, kZelPort))
        return false;
    for (const Query& q : kReadQueries) {
        char data[128];
        uint32_t status = 0;
        if (floor.Exchange(kKindDeviceCommand, q.code, q.qualifier, q.room, data, q.room, &status) <
            0) {
            return false;
        }
    }
    floor.Close();
    if (path.empty())
        return true;
    return benchfloor::RewriteFile(path, record);
}

// The library's transport alone doing the same exchanges.
bool LibraryExchanges(CGatewayComms& comms) {
    if (!comms.OpenSocket())
        return false;
    bool ok = true;
    for (const Query& q : kReadQueries) {
        CSubStream stream;
        char data[128];
        DWORD length = q.room;
        DWORD status = 0;
        VSI_GetSerialNumber(stream, q.code, &length, data, q.qualifier, &status);
        ok = comms.ExecuteSubCommand(stream, 10000) && ok;
    }
    comms.CloseSocket();
    return ok;
}

void BM_FirstGenerationRead(benchmark::State& state) {
    const gwsim::DeviceState device = gwsim::DeviceState::Default(gwsim::Family::ZEL);
    WriteMatchingFirmware(device);
    auto sim = StartDevice(device);
    if (!sim)
        return Stop(state, "simulator");
    BenchDirs::UseLogDir(g_dirs->logs());
    const std::string identityPath = g_dirs->logs() + "/" + kIdentityFile;
    std::error_code ec;
    fs::remove(identityPath, ec);

    CGatewayChecks checks("ZEL");
    checks.SetAddress(inet_addr(sim->address().c_str()));
    if (!checks.SetReleaseIds(true, false))
        return Stop(state, "SetReleaseIds");
    std::string record;
    if (!benchfloor::ReadWholeFile(identityPath, &record) || record.empty()) {
        return Stop(state, "no identity record written");
    }
    const std::string checkResult = checks.CheckForUpdates(true).ToString().GetString();
    const std::string floorPath = g_dirs->floor() + "/" + kIdentityFile;
    benchfloor::WriteWholeFile(floorPath, record);
    const size_t requestsBefore = sim->RequestCount();
    checks.SetReleaseIds(true, false);
    const size_t exchangesPerRead = sim->RequestCount() - requestsBefore;

    benchfloor::Client floor;
    CGatewayComms comms(kZelPort);
    comms.SetIPAddress(inet_addr(sim->address().c_str()));
    std::vector<double> library, plain, check, libraryNet, plainNet;
    int turn = 0;
    SimulatorMeter meter(*sim);
    for (auto _ : state) {
        double libraryTime = 0;
        for (int k = 0; k < 5; ++k) {
            const int which = (turn + k) % 5;
            const Clock::time_point start = Clock::now();
            bool ok;
            if (which == 0) {
                ok = checks.SetReleaseIds(true, false);
                libraryTime = Since(start);
                library.push_back(libraryTime);
            } else if (which == 1) {
                ok = FloorRead(floor, sim->address(), floorPath, record);
                plain.push_back(Since(start));
            } else if (which == 2) {
                ok = checks.CheckForUpdates(true).ToString().GetLength() > 0;
                check.push_back(Since(start));
            } else if (which == 3) {
                ok = LibraryExchanges(comms);
                libraryNet.push_back(Since(start));
            } else {
                ok = FloorRead(floor, sim->address(), std::string(), record);
                plainNet.push_back(Since(start));
            }
            if (!ok)
                return Stop(state, "read failed");
        }
        ++turn;
        state.SetIterationTime(libraryTime);
    }
    const double lib = Median(library);
    const double flo = Median(plain);
    const double chk = Median(check);
    const double simCost = meter.PerRequest();
    state.counters["library_us"] = lib * 1e6;
    state.counters["floor_us"] = flo * 1e6;
    state.counters["ratio"] = lib / flo;
    state.counters["check_us"] = chk * 1e6;
    AddRatioRow("2. first-generation read: SetReleaseIds(true, false), " +
                    std::to_string(exchangesPerRead) + " exchanges + identity file (median of " +
                    std::to_string(library.size()) + ")",
                Micro(lib), Micro(flo), lib / flo, 0, 1.3, "≤ 1.3×", Micro(simCost));
    AddRow({"2. CheckForUpdates(true): the read + firmware-file checks", Micro(chk), Micro(flo),
            Format("%.2f×", chk / flo), "(shown)", "-", Micro(simCost)});
    const double libNet = Median(libraryNet);
    const double floNet = Median(plainNet);
    AddRow({"2. of which the exchanges alone (OpenSocket, 8 × ExecuteSubCommand, CloseSocket)",
            Micro(libNet), Micro(floNet), Format("%.2f×", libNet / floNet), "(diagnostic)", "-",
            Micro(simCost)});
    AddRow({"2. of which the rest (value store, identity file): difference of medians",
            Micro(lib - libNet), Micro(flo - floNet),
            Format("%.2f×", (lib - libNet) / (flo - floNet)), "(diagnostic)", "-", "-"});
    g_notes.push_back("CheckForUpdates(true) result on the benchmark device: " + checkResult);
}

// ---- 3. reply assembly -------------------------------------------------------------------

const int kReplySizes[] = {2000, 10000, 19992};

struct AssemblyResult {
    double wallPerByte[3] = {0, 0, 0};
    double cpuPerByte[3] = {0, 0, 0};
    double simPerReply[3] = {0, 0, 0};
    int done = 0;
};
AssemblyResult g_assembly[3];  // whole, 100-byte and 1-byte segments

void BM_ReplyAssembly(benchmark::State& state) {
    const int segment = int(state.range(0));  // 0: the whole reply at once
    const int sizeIndex = int(state.range(1));
    const int size = kReplySizes[sizeIndex];
    gwsim::DeviceState device = gwsim::DeviceState::Default(gwsim::Family::ZEL);
    device.lc_release.assign(size_t(size), 'x');
    device.lc_release.replace(0, 8, "CPOD_LC_");
    auto sim = StartDevice(device);
    if (!sim)
        return Stop(state, "simulator");
    if (segment > 0) {
        gwsim::Fault split;
        split.kind = gwsim::FaultKind::Split;
        split.code = kLcRelease;
        split.segment_size = size_t(segment);
        split.pause_ms = 0;
        sim->AddFault(split);
    }
    CGatewayComms comms(kZelPort);
    comms.SetIPAddress(inet_addr(sim->address().c_str()));
    if (!comms.OpenSocket())
        return Stop(state, "OpenSocket");
    std::vector<char> data(20000);
    std::vector<double> wall, cpu;
    SimulatorMeter meter(*sim);
    for (auto _ : state) {
        CSubStream stream;
        DWORD length = DWORD(data.size());
        DWORD status = 0;
        VSI_GetSerialNumber(stream, kLcRelease, &length, data.data(), 0, &status);
        const double cpuStart = benchfloor::ThreadCpuSeconds();
        const Clock::time_point start = Clock::now();
        const bool ok = comms.ExecuteSubCommand(stream, 10000);
        const double t = Since(start);
        cpu.push_back(benchfloor::ThreadCpuSeconds() - cpuStart);
        wall.push_back(t);
        if (!ok || status != 0 || length != DWORD(size)) {
            return Stop(state, "assembly failed");
        }
        state.SetIterationTime(t);
    }
    const double simCost = meter.PerRequest();
    comms.CloseSocket();
    AssemblyResult& r = g_assembly[segment == 0 ? 0 : segment == 100 ? 1 : 2];
    r.wallPerByte[sizeIndex] = Median(wall) / size;
    r.cpuPerByte[sizeIndex] = Median(cpu) / size;
    r.simPerReply[sizeIndex] = simCost;
    ++r.done;
    state.counters["wall_ns_per_byte"] = r.wallPerByte[sizeIndex] * 1e9;
    state.counters["cpu_ns_per_byte"] = r.cpuPerByte[sizeIndex] * 1e9;
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void AddAssemblyRows() {
    const char* const names[] = {"whole reply", "100-byte segments", "1-byte segments"};
    for (int i = 0; i < 3; ++i) {
        const AssemblyResult& r = g_assembly[i];
        if (r.done != 3)
            continue;
        for (int kind = 0; kind < 2; ++kind) {
            const double* perByte = kind == 0 ? r.wallPerByte : r.cpuPerByte;
            std::string figures;
            for (int s = 0; s < 3; ++s) {
                figures += (s ? " / " : "") + Format("%.1f", perByte[s] * 1e9);
            }
            const double growth = perByte[2] / perByte[0];
            const std::string item = std::string("3. reply assembly, ") + names[i] + ", " +
                                     (kind == 0 ? "wall" : "library thread CPU") +
                                     " ns/byte at 2,000 / 10,000 / 19,992 bytes";
            const std::string simulator = Micro(r.simPerReply[2]) + " per 19,992-byte reply";
            if (kind == 1) {
                AddRatioRow(item, figures, "-", growth, 0, 1.25,
                            "per byte at 19,992 ≤ 1.25× per byte at 2,000 (flat)", simulator);
            } else {
                // The wall time follows the simulator's pace of sending segments.
                AddRow({item, figures, "-", Format("%.2f×", growth), "(shown)", "-", simulator});
            }
        }
    }
}

// ---- 4. identity record file -----------------------------------------------------------

// A record of another device: its serial never contains the benchmark
// device's serial number.
std::string OtherRecord(int n) {
    char line[128];
    std::snprintf(
        line, sizeof line,
        "BNC%07d,R2.%d.%d,R1.4.0,R1.0.2,00:50:C2:%02X:%02X:%02X,00:50:C2:%02X:%02X:%02X\n", n,
        n % 13, n % 7, (n >> 16) & 255, (n >> 8) & 255, n & 255, (n >> 16) & 255, (n >> 8) & 255,
        (n + 1) & 255);
    return line;
}

// Case 4 stores the device's record in a file of N records, its own in the
// middle, as every read does. A record that changes (its LC release
// alternates between two lengths) replaces the file, against a durable replace
// in raw system calls (as POSIX requires one: the new file synced, renamed,
// and the directory synced); an unchanged record writes nothing, against a
// plain read of the file.
enum RecordChange { kChanges, kUnchanged };

// CPU time per record of a changing record, by file size.
std::map<int, double> g_cpuPerRecord;

void BM_IdentityFile(benchmark::State& state) {
    const int records = int(state.range(0));
    const bool changes = state.range(1) == kChanges;
    const std::string serial = "ZEL0012345";
    const std::string own[2] = {
        serial + ",R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57",
        serial + ",R2.10.40,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57"};
    std::string content[2];
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < records - 1; ++i) {
            if (i == records / 2)
                content[k] += own[k] + "\n";
            content[k] += OtherRecord(i);
        }
    }
    const std::string dir = g_dirs->Dir("records-" + std::to_string(records));
    const std::string path = dir + "/" + kIdentityFile;
    const std::string floorPath = g_dirs->floor() + "/records.txt";
    benchfloor::WriteWholeFile(path, content[0]);
    benchfloor::WriteWholeFile(floorPath, content[0]);
    const CString libraryPath(path.c_str());
    // An unchanged record is read again some time after the file was written,
    // as when a device is checked again: the file has settled.
    if (!changes)
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));

    std::vector<double> lib, cpu, flo;
    int current = 0;
    for (auto _ : state) {
        if (changes)
            current = 1 - current;
        // The floor goes first on every other turn.
        for (int k = 0; k < 2; ++k) {
            const bool floorTurn = (k + int(flo.size() + lib.size()) / 2) % 2 == 0;
            const double cpuStart = benchfloor::ThreadCpuSeconds();
            const Clock::time_point start = Clock::now();
            if (floorTurn) {
                const bool ok = changes
                                    ? benchfloor::DurableReplaceFloor(floorPath, content[current])
                                    : benchfloor::ReadOnlyFloor(floorPath, nullptr);
                if (!ok)
                    return Stop(state, "floor failed");
                flo.push_back(Since(start));
                continue;
            }
            try {
                StoreIdentityRecord(libraryPath, serial, own[current], "dropped");
            } catch (CFileException* e) {
                e->Delete();
                return Stop(state, "StoreIdentityRecord failed");
            }
            lib.push_back(Since(start));
            cpu.push_back(benchfloor::ThreadCpuSeconds() - cpuStart);
        }
        state.SetIterationTime(lib.back());
    }
    std::string after;
    benchfloor::ReadWholeFile(path, &after);
    if (after != content[current])
        return Stop(state, "the rewrite did not give the expected file");

    const double l = Median(lib), f = Median(flo);
    state.counters["library_ms"] = l * 1e3;
    state.counters["floor_ms"] = f * 1e3;
    char item[200];
    std::snprintf(item, sizeof item,
                  "4. identity record file, %d records (%.1f MB), %s, median of %zu", records,
                  double(content[0].size()) / 1e6,
                  changes ? "record changes (file replaced) vs durable replace"
                          : "record unchanged (nothing written) vs read-only floor",
                  lib.size());
    const std::string libText =
        Milli(l) + Format(" (CPU %.2f µs/record)", Median(cpu) * 1e6 / records);
    if (!changes || records >= 10000)
        AddRatioRow(item, libText, Milli(f), l / f, 0, 1.3, "≤ 1.3×", "-");
    else
        AddRow({item, libText, Milli(f), Format("%.2f×", l / f), "(shown)", "-", "-"});
    if (!changes)
        return;
    g_cpuPerRecord[records] = Median(cpu) / records;
    if (records == 100000 && g_cpuPerRecord.count(10000)) {
        const double growth = g_cpuPerRecord[100000] / g_cpuPerRecord[10000];
        AddRatioRow("4. linear growth: CPU time per record at 100,000 against 10,000 records",
                    Format("%.3f µs", g_cpuPerRecord[100000] * 1e6) +
                        Format(" vs %.3f µs", g_cpuPerRecord[10000] * 1e6),
                    "-", growth, 0, 1.25, "≤ 1.25× (linear)", "-");
    }
}

// ---- 5. unreachable device ---------------------------------------------------------------

void BM_Unreachable(benchmark::State& state) {
    zrtest::AddressHole hole;
    std::vector<double> times;
    for (auto _ : state) {
        CGatewayComms comms(kZelPort);
        comms.SetIPAddress(inet_addr(hole.address().c_str()));
        const Clock::time_point start = Clock::now();
        const bool connected = comms.OpenSocket();
        const double t = Since(start);
        comms.CloseSocket();
        if (connected)
            return Stop(state, "connected to a hole");
        times.push_back(t);
        state.SetIterationTime(t);
    }
    const double t = Median(times);
    AddRatioRow("5. OpenSocket to a loopback port where nothing listens (five 1-s waits = 5 s), " +
                    std::to_string(times.size()) + " runs",
                Format("%.3f s", t), "5.000 s", t / 5.0, 1.0, 1.02, "5.0–5.1 s (≥ 1×, ≤ 1.02×)",
                "-");
}

BENCHMARK(BM_OneExchange)
    ->ArgName("same_core")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(12)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstGenerationRead)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplyAssembly)
    ->ArgNames({"segment", "size"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Iterations(400)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplyAssembly)
    ->ArgNames({"segment", "size"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({100, 2})
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplyAssembly)
    ->ArgNames({"segment", "size"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdentityFile)
    ->ArgNames({"records", "change"})
    ->Args({1000, kChanges})
    ->Args({10000, kChanges})
    ->Args({100000, kChanges})
    ->Args({100000, kUnchanged})
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unreachable)->Iterations(2)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::fprintf(stderr, "bench: WSAStartup failed\n");
        return 1;
    }
    SetMonitorSink(&NoMonitor, nullptr);
    SetErrorSink(&NoError, nullptr);
    BenchDirs dirs;
    g_dirs = &dirs;

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    AddAssemblyRows();

    g_notes.push_back(
        "The library's log lines go to a no-op monitor sink (SetMonitorSink), so logging to a "
        "file does not distort the figures.");
    g_notes.push_back(
        "Floor: a minimal blocking-socket client (one send, blocking recv until the frame is "
        "complete) and plain C stdio file calls, run interleaved with the library against the "
        "same in-process simulator on loopback.");
    g_notes.push_back(
        "Simulator CPU/request: the process's CPU time less the benchmark thread's, over the "
        "requests the simulator served in that case.");
    g_notes.push_back(g_pinned ? "Placement: the simulator's threads run on CPU 1, the library "
                                 "and the floor on CPU 0."
                               : "Placement: left to the scheduler (fewer than two CPUs, or "
                                 "the system refused).");
    g_notes.push_back(
        "Case 3: the target applies to the library thread's CPU time per byte (its own work); "
        "the wall time per byte is shown beside it and, with 1-byte segments, follows the "
        "simulator, which spends the CPU time shown on sending 20,008 segments.");
    g_notes.push_back(
        "Case 4 times the identity record file's update alone (the call a read makes after "
        "the device's values are in): a changing record is written to a temporary file, "
        "flushed to the disk and moved over the file (the move written through, as its "
        "directory entry); an unchanged one writes nothing, and a file that has not changed since "
        "this process found "
        "the record in it is not read again (one status query).");
    PrintTable();
    g_dirs = nullptr;
    WSACleanup();
    if (g_errors > 0) {
        std::printf("%d case(s) could not be measured.\n", g_errors);
        return 1;
    }
    return g_missed == 0 ? 0 : 2;
}
