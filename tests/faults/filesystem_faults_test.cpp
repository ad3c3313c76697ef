// File-system faults that any system can make: a missing software or log
// directory, and a directory standing where the library expects a file. The
// library reports through its log channels and results, keeps every record it
// had, and throws nothing out of an operation.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
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

using namespace zrfaults;
namespace fs = std::filesystem;
using std::to_string;

const char kRecords[] = "Tarvik_Serial_Nums.txt";

int RecordProblems(const zrtest::CapturedLog& log) {
    int n = 0;
    for (const auto& line : log.Texts("RT_COMMS_E"))
        n += line.rfind("CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems:", 0) == 0;
    return n;
}

TEST(FileSystemFaults, MissingSoftwareOrLogDirectory) {
    for (Family family : {Family::ZEL, Family::MIR}) {
        Bench b(family);
        ASSERT_TRUE(b.sim);
        const std::string missing = b.dirs.software.File("not-there");
        zrtest::ScopedEnv env("GATEWAY_SOFTWARE_DIR", missing.c_str());
        zrtest::ScopedEnv logs("GATEWAY_LOG_DIR", b.dirs.logs.File("not-there").c_str());
        EXPECT_TRUE(b.checks().SetReleaseIds(true, false));  // the read stands
        EXPECT_EQ(RecordProblems(b.log), family == Family::ZEL ? 1 : 0);
        EXPECT_EQ(GetValueStore()[family == Family::ZEL ? "Tarvik_SerialNum" : "Sollum_Release"],
                  family == Family::ZEL ? "ZEL0012345" : "R3.4");
        EXPECT_EQ(b.Check(), kAllSame);  // no file: nothing to compare
        EXPECT_EQ(GetValueStore()[family == Family::ZEL ? "Tarvik_Release" : "Sollum_Release"],
                  family == Family::ZEL ? "R2.10.3" : "R3.4");
        EXPECT_STREQ(b.checks().GetCustomCPLDFileName(), "");
        b.checks().SetCustomCPLDFileName("custom.jed");
        EXPECT_FALSE(b.checks().DeviceFileExists("", CT_LC));
        EXPECT_TRUE(b.UpdateLc());
        EXPECT_EQ(b.sim->ResetCount(), 1u);
        EXPECT_FALSE(fs::exists(missing));
    }
}

// Directories in place of the record file or its temporary file, of the
// staged image and of the custom CPLD setting.
TEST(FileSystemFaults, DirectoryInPlaceOfAFile) {
    const std::string others =
        "ZEL0000001,R1.0,R1.0,R1.0,00:11,00:12\nZEL0000002,R1.1,R1.1,R1.1,00:21,00:22\n";
    for (const std::string name : {"Tarvik_Serial_Nums.txt", "Tarvik_Serial_Nums.txt.tmp"}) {
        SCOPED_TRACE(name);
        Bench b(Family::ZEL);
        ASSERT_TRUE(b.sim);
        b.dirs.logs.Write(kRecords, others);
        fs::remove(b.dirs.logs.File(name));
        fs::create_directory(b.dirs.logs.File(name));
        b.dirs.logs.Write(name + "/inside", "kept");
        for (const char* f : {"tarvik_lc.load", "custom_cpld.txt"})
            fs::create_directory(b.dirs.software.File(f));
        EXPECT_TRUE(b.checks().SetReleaseIds(true, false));
        EXPECT_EQ(RecordProblems(b.log), 1);
        EXPECT_EQ(b.dirs.logs.Read(name + "/inside"), "kept");
        EXPECT_TRUE(name == kRecords || b.dirs.logs.Read(kRecords) == others);

        EXPECT_STREQ(b.checks().GetCustomCPLDFileName(), "");
        b.checks().SetCustomCPLDFileName("custom.jed");
        EXPECT_STREQ(b.checks().GetCustomCPLDFileName(), "");
        b.checks().SetCustomCPLDFileName("");

        const std::string shipped = b.dirs.software.Read("tarvik_lc.bin");
        EXPECT_FALSE(b.tarvik->RenameFile(CT_LC, false));
        EXPECT_TRUE(b.tarvik->UpdateLC());  // the update goes on: its reset is sent
        EXPECT_EQ(b.sim->ResetCount(), 1u);
        EXPECT_EQ(b.dirs.software.Read("tarvik_lc.bin"), shipped);
        EXPECT_FALSE(b.dirs.software.Exists("tarvik_lc.load.partial"));
        EXPECT_EQ(b.Check(), kAllSame);
        for (const std::string& dir :
             {b.dirs.logs.File(name), b.dirs.software.File("tarvik_lc.load"),
              b.dirs.software.File("custom_cpld.txt")})
            EXPECT_TRUE(fs::is_directory(dir)) << dir;
    }
}

// Writers rewriting one long file at once, each with handles of its own (in
// threads and in processes), take turns: none fails and no record is lost.
TEST(FileSystemFaults, ConcurrentRecordWritersLoseNoRecord) {
    const int kWriters = 8;
    std::string others;
    for (int i = 0; i < 20000; ++i)
        others += "ZEL7" + to_string(100000 + i) + ",R1,R1,R1,00:01,00:02\n";
    for (const bool processes : {false, !!*RECORD_WRITER}) {
        zrtest::TempDir dir;
        dir.Write(kRecords, others);
        const std::string path = dir.File(kRecords);
        for (int round = 1; round <= 3; ++round) {
            SCOPED_TRACE(to_string(processes) + " round " + to_string(round));
            std::atomic<int> failed{0};
            std::vector<std::thread> writers;
            for (int w = 0; w < kWriters; ++w) {
                writers.emplace_back([&, w] {
                    const std::string serial = "ZEL900" + to_string(w), r = to_string(round);
                    if (processes) {
                        failed += std::system((std::string(RECORD_WRITER) + " '" + path + "' " +
                                               serial + " " + r)
                                                  .c_str()) != 0;
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
            EXPECT_EQ(failed, 0);
            const auto lines = dir.Lines(kRecords);
            ASSERT_EQ(lines.size(), 20000u + kWriters);
            for (int w = 0; w < kWriters; ++w) {
                const std::string record =
                    "ZEL900" + to_string(w) + "," + to_string(round) + ",R1,R1,00:11,00:12";
                EXPECT_EQ(std::count(lines.begin(), lines.end(), record), 1) << record;
            }
            EXPECT_FALSE(dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
        }
    }
}

std::string Records(int first) {
    std::string s;
    for (int i = first; i < first + 20; ++i)
        s += "ZEL10000" + to_string(100 + i) + ",CPOD_LC_R1." + to_string(i) +
             ",R1.0,R1.0,00:50:C2:00:00:" + to_string(10 + i) + ",Unknown\n";
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
    const int kCrash = zrtest::kCrash;
    const std::string before = Records(0), after = Records(20);
    const std::string replaced = before + "ZEL0012345,R0\n" + after, appended = before + after;
    const std::string own = "ZEL0012345,R2,R1,R1,00:11,00:12";
    const struct {
        bool replace;  // else append
        SysCall call;
        int error;
        int times;  // -1: the call fails from then on, as when the disk is full
    } cases[] = {{true, SysCall::kWrite, ENOSPC, -1}, {true, SysCall::kWrite, EIO, 1},
                 {true, SysCall::kRead, EIO, 1},      {true, SysCall::kFdatasync, EIO, 1},
                 {true, SysCall::kRename, EIO, 1},    {false, SysCall::kWrite, ENOSPC, -1},
                 {true, SysCall::kWrite, kCrash, 1},  {true, SysCall::kFdatasync, kCrash, 1},
                 {true, SysCall::kRename, kCrash, 1}, {false, SysCall::kOpen, kCrash, 1}};
    struct Run {
        std::string path;
        const std::string* own;
        zrtest::SysFault fault;
        bool stored = false;
    };
    // 0 when the rewrite met the fault.
    const auto store = [](void* context) {
        Run& run = *static_cast<Run*>(context);
        zrtest::SysOverride fault(run.fault);
        try {
            StoreIdentityRecord(run.path.c_str(), "ZEL0012345", *run.own, "dropped");
            run.stored = true;
        } catch (CFileException* e) {
            e->Delete();
        }
        return fault.Faults() > 0 ? 0 : 1;
    };
    for (const auto& c : cases) {
        const bool crash = c.error == kCrash;
        const std::string& earlier = c.replace ? replaced : appended;
        const std::string expected =
            c.replace ? before + own + "\n" + after : appended + own + "\n";
        for (int skip = 0;; ++skip) {
            SCOPED_TRACE(to_string(&c - cases) + " from call " + to_string(skip));
            zrtest::TempDir dir;
            dir.Write(kRecords, earlier);
            Run run{dir.File(kRecords), &own, {c.call, c.error, skip, c.times}};
            const int status = crash ? zrtest::InChild(+store, &run) : store(&run);
            if (status == 1)
                break;  // the rewrite ended before reaching the call
            ASSERT_EQ(status, crash ? 86 : 0) << "the child did not end at the call";
            // The new file only once it has been moved into place (a failure
            // to write the move through is still reported).
            const std::string file = dir.Read(kRecords);
            EXPECT_TRUE(file == earlier || file == expected) << file;
            EXPECT_FALSE(run.stored);
            EXPECT_TRUE(crash || !dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
            StoreIdentityRecord(run.path.c_str(), "ZEL0012345", own, "dropped");
            EXPECT_EQ(dir.Read(kRecords), expected);
            EXPECT_FALSE(dir.Exists("Tarvik_Serial_Nums.txt.tmp"));
        }
    }
}

}  // namespace
