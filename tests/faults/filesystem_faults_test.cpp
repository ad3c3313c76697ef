// File-system faults that any system can make: a missing software or log
// directory, and a directory standing where the library expects a file. The
// library reports through its log channels and results, keeps every record it
// had, and throws nothing out of an operation.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "faults_fixture.h"
#include "tests/support/syscall_override.h"
#include "zodaruruvizi/devices/identityrecords.h"

#ifndef RECORD_WRITER
#define RECORD_WRITER ""  // the writer program is built where processes are started with a shell
#endif

namespace {

using gwsim::Family;
using zrfaults::Bench;
namespace fs = std::filesystem;

const char kRecordProblem[] = "CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems:";
const char kOtherRecords[] =
    "ZEL0000001,R1.0,R1.0,R1.0,00:11,00:12\nZEL0000002,R1.1,R1.1,R1.1,00:21,00:22\n";

int CountStartingWith(const zrtest::CapturedLog& log, const std::string& start) {
    int n = 0;
    for (const auto& line : log.Texts("RT_COMMS_E"))
        n += line.rfind(start, 0) == 0 ? 1 : 0;
    return n;
}

TEST(FileSystemFaults, MissingSoftwareDirectoryChecksAndUpdatesWithoutFiles) {
    for (Family family : {Family::ZEL, Family::MIR}) {
        Bench b(family);
        ASSERT_TRUE(b.sim);
        const std::string missing = b.dirs.software.File("not-there");
        zrtest::ScopedEnv env("GATEWAY_SOFTWARE_DIR", missing.c_str());
        EXPECT_EQ(b.Check(), std::string(zrfaults::kAllSame));  // no file: nothing to compare
        EXPECT_EQ(GetValueStore()[family == Family::ZEL ? "Tarvik_Release" : "Sollum_Release"],
                  family == Family::ZEL ? "R2.10.3" : "R3.4");
        EXPECT_STREQ(b.checks().GetCustomCPLDFileName(), "");
        b.checks().SetCustomCPLDFileName("custom.jed");
        EXPECT_FALSE(b.checks().DeviceFileExists("", CT_LC));
        EXPECT_TRUE(b.tarvik ? b.tarvik->UpdateLC() : b.sollum->UpdateLC());
        EXPECT_EQ(b.sim->ResetCount(), 1u);
        EXPECT_FALSE(fs::exists(missing));
    }
}

TEST(FileSystemFaults, MissingLogDirectoryReportsAndKeepsTheRead) {
    Bench b(Family::ZEL);
    ASSERT_TRUE(b.sim);
    const std::string missing = b.dirs.logs.File("not-there");
    zrtest::ScopedEnv env("GATEWAY_LOG_DIR", missing.c_str());
    EXPECT_TRUE(b.checks().SetReleaseIds(true, false));
    EXPECT_EQ(GetValueStore()["Tarvik_SerialNum"], "ZEL0012345");
    EXPECT_EQ(CountStartingWith(b.log, kRecordProblem), 1);
}

// Where a directory stands in place of a file.
TEST(FileSystemFaults, DirectoryInPlaceOfTheRecordFileOrItsTemporaryFile) {
    for (const char* name : {"Tarvik_Serial_Nums.txt", "Tarvik_Serial_Nums.txt.tmp"}) {
        SCOPED_TRACE(name);
        Bench b(Family::ZEL);
        ASSERT_TRUE(b.sim);
        b.dirs.logs.Write("Tarvik_Serial_Nums.txt", kOtherRecords);
        fs::remove(b.dirs.logs.File(name));
        fs::create_directory(b.dirs.logs.File(name));
        b.dirs.logs.Write(std::string(name) + "/inside", "kept");

        EXPECT_TRUE(b.checks().SetReleaseIds(true, false));
        EXPECT_EQ(CountStartingWith(b.log, kRecordProblem), 1);
        EXPECT_TRUE(fs::is_directory(b.dirs.logs.File(name)));
        EXPECT_EQ(b.dirs.logs.Read(std::string(name) + "/inside"), "kept");
        if (std::string(name) != "Tarvik_Serial_Nums.txt") {
            EXPECT_EQ(b.dirs.logs.Read("Tarvik_Serial_Nums.txt"), kOtherRecords);
        }
    }
}

// Writers rewriting one long file at once, each with handles of its own (in
// threads and in processes), take turns: none fails and no record is lost.
TEST(FileSystemFaults, ConcurrentRecordWritersLoseNoRecord) {
    const int kWriters = 8, kRounds = 3;
    std::string others;
    for (int i = 0; i < 20000; ++i)
        others += "ZEL7" + std::to_string(100000 + i) + ",R1,R1,R1,00:01,00:02\n";
    for (const bool processes : {false, true}) {
        SCOPED_TRACE(processes ? "processes" : "threads");
        if (processes && !*RECORD_WRITER)
            continue;
        zrtest::TempDir dir;
        dir.Write("Tarvik_Serial_Nums.txt", others);
        const std::string path = dir.File("Tarvik_Serial_Nums.txt");
        for (int round = 1; round <= kRounds; ++round) {
            std::atomic<int> failed{0};
            std::vector<std::thread> writers;
            for (int w = 0; w < kWriters; ++w) {
                writers.emplace_back([&, w] {
                    const std::string serial = "ZEL900" + std::to_string(w);
                    const std::string r = std::to_string(round);
                    if (processes) {
                        const std::string command =
                            std::string(RECORD_WRITER) + " '" + path + "' " + serial + " " + r;
                        failed += std::system(command.c_str()) != 0;
                        return;
                    }
                    try {
                        StoreIdentityRecord(path.c_str(), serial,
                                            serial + "," + r + ",R1,R1,00:11,00:12", "dropped");
                    } catch (CFileException* e) {
                        e->Delete();
                        ++failed;
                    }
                });
            }
            for (auto& t : writers)
                t.join();
            EXPECT_EQ(failed, 0) << "round " << round;
            const auto lines = dir.Lines("Tarvik_Serial_Nums.txt");
            ASSERT_EQ(lines.size(), 20000u + kWriters) << "round " << round;
            for (int w = 0; w < kWriters; ++w) {
                const std::string serial = "ZEL900" + std::to_string(w);
                EXPECT_EQ(std::count(lines.begin(), lines.end(),
                                     serial + "," + std::to_string(round) + ",R1,R1,00:11,00:12"),
                          1)
                    << serial << " in round " << round;
            }
            EXPECT_FALSE(dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
        }
    }
}

std::string Records(int first, int count) {
    std::string s;
    for (int i = first; i < first + count; ++i) {
        s += "ZEL10000" + std::to_string(100 + i) + ",CPOD_LC_R1." + std::to_string(i) +
             ",R1.0,R1.0,00:50:C2:00:00:" + std::to_string(10 + i) + ",Unknown\n";
    }
    return s;
}

// The identity record rewrite stopped at each of its calls in turn, by a
// failing call or by the end of the process (the temporary file being
// written, flushed, moved over the file, the move written through): the file
// is the old one or the new one, whole, and after the next rewrite it is the
// new one with no temporary file left. The device's own earlier line stands
// in the middle; or the device is new and its record goes at the end.
TEST(FileSystemFaults, RecordRewriteStoppedAtAnyCallLeavesAWholeFile) {
    if (!zrtest::SysOverride::Available())
        GTEST_SKIP() << "system calls are injected into the Linux layer only";
    using zrtest::SysCall;
    const std::string before = Records(0, 20), after = Records(20, 20);
    const std::string replaced = before + "ZEL0012345,R0\n" + after;
    const std::string appended = before + after;
    const std::string own = "ZEL0012345,R2,R1,R1,00:11,00:12";
    const struct {
        const char* name;
        const std::string& earlier;
        SysCall call;
        int error;
        int times;  // -1: the call fails from then on, as when the disk is full
    } cases[] = {
        {"replace, disk full", replaced, SysCall::kWrite, ENOSPC, -1},
        {"replace, one write fails", replaced, SysCall::kWrite, EIO, 1},
        {"replace, a read fails", replaced, SysCall::kRead, EIO, 1},
        {"replace, a flush fails", replaced, SysCall::kFdatasync, EIO, 1},
        {"replace, the move fails", replaced, SysCall::kRename, EIO, 1},
        {"append, disk full", appended, SysCall::kWrite, ENOSPC, -1},
        {"replace, the process ends at a write", replaced, SysCall::kWrite, zrtest::kCrash, 1},
        {"replace, the process ends at a flush", replaced, SysCall::kFdatasync, zrtest::kCrash, 1},
        {"replace, the process ends at the move", replaced, SysCall::kRename, zrtest::kCrash, 1},
        {"append, the process ends at an open", appended, SysCall::kOpen, zrtest::kCrash, 1},
    };
    struct Run {
        std::string path;
        const std::string* own;
        zrtest::SysFault fault;
        int faults = 0;
        bool stored = false;
    };
    const auto store = [](void* context) {
        Run& run = *static_cast<Run*>(context);
        zrtest::SysOverride fault(run.fault);
        try {
            StoreIdentityRecord(run.path.c_str(), "ZEL0012345", *run.own, "dropped");
            run.stored = true;
        } catch (CFileException* e) {
            e->Delete();
        }
        run.faults = fault.Faults();
        return run.faults > 0 ? 0 : 1;
    };
    for (const auto& c : cases) {
        const bool crash = c.error == zrtest::kCrash;
        for (int skip = 0;; ++skip) {
            SCOPED_TRACE(std::string(c.name) + " from call " + std::to_string(skip));
            zrtest::TempDir dir;
            dir.Write("Tarvik_Serial_Nums.txt", c.earlier);
            Run run{dir.File("Tarvik_Serial_Nums.txt"), &own, {c.call, c.error, skip, c.times}};
            if (crash) {
                const int status = zrtest::InChild(+store, &run);
                if (status == 1)
                    break;  // the rewrite ended before reaching the call
                ASSERT_EQ(status, 86) << "the child did not end at the call";
            } else if (store(&run) != 0) {
                break;
            }
            const std::string file = dir.Read("Tarvik_Serial_Nums.txt");
            const std::string expected =
                c.earlier == replaced ? before + own + "\n" + after : appended + own + "\n";
            // The new file only once it has been moved into place (a failure
            // to write the move through is still reported).
            EXPECT_TRUE(file == c.earlier || file == expected) << file;
            EXPECT_FALSE(run.stored);
            if (!crash) {
                EXPECT_FALSE(dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
            }

            StoreIdentityRecord(run.path.c_str(), "ZEL0012345", own, "dropped");
            EXPECT_EQ(dir.Read("Tarvik_Serial_Nums.txt"), expected);
            EXPECT_FALSE(dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
        }
    }
}

TEST(FileSystemFaults, DirectoryInPlaceOfTheStagedImage) {
    Bench b(Family::ZEL);
    ASSERT_TRUE(b.sim);
    fs::create_directory(b.dirs.software.File("tarvik_lc.load"));
    const std::string shipped = b.dirs.software.Read("tarvik_lc.bin");
    EXPECT_FALSE(b.tarvik->RenameFile(CT_LC, false));
    EXPECT_TRUE(b.tarvik->UpdateLC());  // the update goes on: its reset is sent
    EXPECT_EQ(b.sim->ResetCount(), 1u);
    EXPECT_TRUE(fs::is_directory(b.dirs.software.File("tarvik_lc.load")));
    EXPECT_EQ(b.dirs.software.Read("tarvik_lc.bin"), shipped);
    EXPECT_FALSE(b.dirs.software.Exists("tarvik_lc.load.partial"));
    EXPECT_EQ(b.Check(), std::string(zrfaults::kAllSame));
}

TEST(FileSystemFaults, DirectoryInPlaceOfTheCustomCpldSetting) {
    Bench b(Family::ZEL);
    ASSERT_TRUE(b.sim);
    fs::create_directory(b.dirs.software.File("custom_cpld.txt"));
    EXPECT_STREQ(b.checks().GetCustomCPLDFileName(), "");
    b.checks().SetCustomCPLDFileName("custom.jed");
    EXPECT_STREQ(b.checks().GetCustomCPLDFileName(), "");
    b.checks().SetCustomCPLDFileName("");
    EXPECT_TRUE(fs::is_directory(b.dirs.software.File("custom_cpld.txt")));
    EXPECT_EQ(b.Check(), std::string(zrfaults::kAllSame));
}

}  // namespace
