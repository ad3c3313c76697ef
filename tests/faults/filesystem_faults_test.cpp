// File-system faults that any system can make: a missing software or log
// directory, and a directory standing where the library expects a file. The
// library reports through its log channels and results, keeps every record it
// had, and throws nothing out of an operation.
#include <cerrno>
#include <filesystem>
#include <string>

#include "faults_fixture.h"
#include "tests/support/side_copy.h"
#include "tests/support/syscall_override.h"

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
TEST(FileSystemFaults, DirectoryInPlaceOfTheRecordFileOrItsSideCopy) {
    for (const char* name : {"Tarvik_Serial_Nums.txt", "Tarvik_Serial_Nums.txt.saved"}) {
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

std::string Records(int first, int count) {
    std::string s;
    for (int i = first; i < first + count; ++i) {
        s += "ZEL10000" + std::to_string(100 + i) + ",CPOD_LC_R1." + std::to_string(i) +
             ",R1.0,R1.0,00:50:C2:00:00:" + std::to_string(10 + i) + ",Unknown\n";
    }
    return s;
}

// The identity record rewrite stopped by a failing call, at each of its calls
// in turn: the file stays as it was or its side copy keeps the bytes to put
// back, and the next rewrite brings back every earlier record. The device's
// own earlier line stands in the middle and is shorter than its new record, so
// the rewrite moves the records after it; or the device is new and appends.
TEST(FileSystemFaults, RecordRewriteStoppedAtAnyCallLosesNoRecord) {
    if (!zrtest::SysOverride::Available())
        GTEST_SKIP() << "system calls are injected into the Linux layer only";
    using zrtest::SysCall;
    const std::string before = Records(0, 20), after = Records(20, 20);
    const std::string replaced = before + "ZEL0012345,R0\n" + after;
    const std::string appended = before + after;
    const std::string record =
        "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57\n";
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
        {"append, disk full", appended, SysCall::kWrite, ENOSPC, -1},
        {"append, one write fails", appended, SysCall::kWrite, EIO, 1},
    };
    for (const auto& c : cases) {
        for (int skip = 0;; ++skip) {
            SCOPED_TRACE(std::string(c.name) + " from call " + std::to_string(skip));
            Bench b(Family::ZEL);
            ASSERT_TRUE(b.sim);
            b.dirs.logs.Write("Tarvik_Serial_Nums.txt", c.earlier);
            int faults;
            {
                zrtest::SysOverride fault({c.call, c.error, skip, c.times});
                EXPECT_TRUE(b.checks().SetReleaseIds(true, false));
                faults = fault.Faults();
            }
            if (faults == 0)
                break;
            EXPECT_EQ(CountStartingWith(b.log, kRecordProblem), 1);
            const auto sideCopy = [&] {
                return b.dirs.logs.Exists("Tarvik_Serial_Nums.txt.saved")
                           ? b.dirs.logs.Read("Tarvik_Serial_Nums.txt.saved")
                           : std::string();
            };
            const std::string kept = sideCopy();
            const std::string file = b.dirs.logs.Read("Tarvik_Serial_Nums.txt");
            EXPECT_EQ(zrtest::SideCopyHoldsBytes(kept) ? zrtest::RestoredFrom(file, kept) : file,
                      c.earlier);

            EXPECT_TRUE(b.checks().SetReleaseIds(true, false));
            EXPECT_EQ(b.dirs.logs.Read("Tarvik_Serial_Nums.txt"),
                      &c.earlier == &replaced ? before + record + after : appended + record);
            EXPECT_FALSE(zrtest::SideCopyHoldsBytes(sideCopy()));
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
