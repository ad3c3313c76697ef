// The identity record rewrite under a file-size limit, in a child process that
// ignores SIGXFSZ so that a write beyond the limit fails instead of ending the
// process (the tests run as root, so permissions would stop nothing). The
// limit catches the rewrite at different points: while the side copy is
// written (the file stays as it was), while the file itself is written over
// (putting the old bytes back fails as well, so the side copy keeps them and
// the next successful rewrite brings back every earlier record from it) and
// while a new record is appended (the file is cut back to what it was).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "faults_fixture.h"
#include "tests/support/side_copy.h"

namespace {

using gwsim::Family;
using zrfaults::Bench;

const char kRecordProblem[] = "CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems:";

// Runs body in a child process; its exit status, or -1 when it did not exit.
int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string Records(int first, int count) {
    std::string s;
    for (int i = first; i < first + count; ++i) {
        s += "ZEL10000" + std::to_string(100 + i) + ",CPOD_LC_R1." + std::to_string(i) +
             ",R1.0,R1.0,00:50:C2:00:00:" + std::to_string(10 + i) + ",Unknown\n";
    }
    return s;
}

// Points the log-files directory of a child's bench at the test's.
class LogsAt {
public:
    explicit LogsAt(const zrtest::GatewayDirs& dirs)
        : env_("GATEWAY_LOG_DIR", dirs.logs.path().c_str()) {}

private:
    zrtest::ScopedEnv env_;
};

TEST(FileSizeLimit, RewriteStoppedAnywhereLosesNoRecord) {
    // The device's own earlier line stands in the middle and is shorter than
    // its new record, so the rewrite starts within that line and moves the
    // records after it; or the device is new and its record is appended.
    const std::string before = Records(0, 20), after = Records(20, 20);
    const std::string replaced = before + "ZEL0012345,R0\n" + after;
    const std::string appended = before + after;
    const std::string record =
        "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57\n";
    // The first byte the rewrite changes, and the side copy's size: its head
    // and every byte from there on.
    const size_t from = before.size() + std::string("ZEL0012345,R").size();
    const size_t side = 50 + replaced.size() - from;
    const struct {
        const char* name;
        const std::string& earlier;
        size_t limit;
        bool sideCopyLeft;  // the limit stops the rewrite of the file itself
    } cases[] = {
        {"nothing can be written", replaced, 0, false},
        {"side copy stops half-way", replaced, side / 2, false},
        {"side copy stops at its last byte", replaced, side - 1, false},
        {"rewrite stops at its first byte", replaced, std::max(side, from), true},
        {"rewrite stops a few bytes later", replaced, std::max(side, from + record.size() / 2),
         true},
        {"rewrite stops past the old end: the old bytes go back at once", replaced,
         std::max(side, replaced.size() + 2), false},
        {"append stops at its first byte", appended, appended.size(), false},
        {"append stops half-way", appended, appended.size() + record.size() / 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zrtest::GatewayDirs dirs;
        dirs.logs.Write("Tarvik_Serial_Nums.txt", c.earlier);

        // Everything with threads (the simulated device) lives in the child,
        // so that this process stays single-threaded at every fork.
        const int rc = InChild([&] {
            Bench b(Family::ZEL);
            LogsAt logs(dirs);
            if (!b.sim)
                return 10;
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit = {rlim_t(c.limit), rlim_t(c.limit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return 11;
            bool read = false;
            try {
                read = b.checks().SetReleaseIds(true, false);
            } catch (...) {
                return 12;
            }
            int reported = 0;
            for (const auto& line : b.log.Texts("RT_COMMS_E")) {
                reported += line.rfind(kRecordProblem, 0) == 0 ? 1 : 0;
            }
            return (read ? 0 : 1) | (reported == 1 ? 0 : 2);
        });
        ASSERT_EQ(rc, 0) << "1: read failed, 2: no single report, 10+: child set-up, -1: crash";

        const auto sideCopy = [&] {
            return dirs.logs.Exists("Tarvik_Serial_Nums.txt.saved")
                       ? dirs.logs.Read("Tarvik_Serial_Nums.txt.saved")
                       : std::string();
        };
        const std::string kept = sideCopy();
        EXPECT_EQ(zrtest::SideCopyHoldsBytes(kept), c.sideCopyLeft);
        if (c.sideCopyLeft) {
            EXPECT_EQ(zrtest::RestoredFrom(dirs.logs.Read("Tarvik_Serial_Nums.txt"), kept),
                      c.earlier);
        } else {
            EXPECT_EQ(dirs.logs.Read("Tarvik_Serial_Nums.txt"), c.earlier);
        }

        // The next rewrite without a limit: every earlier record, and the new one.
        const int again = InChild([&] {
            Bench b(Family::ZEL);
            LogsAt logs(dirs);
            return b.sim && b.checks().SetReleaseIds(true, false) ? 0 : 1;
        });
        ASSERT_EQ(again, 0);
        EXPECT_EQ(dirs.logs.Read("Tarvik_Serial_Nums.txt"),
                  &c.earlier == &replaced ? before + record + after : appended + record);
        EXPECT_FALSE(zrtest::SideCopyHoldsBytes(sideCopy()));
    }
}

}  // namespace
