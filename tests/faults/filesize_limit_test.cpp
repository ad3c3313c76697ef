// The identity record rewrite under a file-size limit, in a child process that
// ignores SIGXFSZ so that a write beyond the limit fails instead of ending the
// process (the tests run as root, so permissions would stop nothing). The
// limit catches the rewrite at different points: while the side copy is
// written (the file stays as it was) and while the file itself is rewritten
// after it was cut (the side copy stays behind, and the next successful
// rewrite brings back every earlier record from it).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "faults_fixture.h"

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
    // its new record, so a rewrite stopped by the limit cuts off the records
    // after it.
    const std::string before = Records(0, 20), after = Records(20, 20);
    const std::string earlier = before + "ZEL0012345,R0\n" + after;
    const std::string record =
        "ZEL0012345,R2.10.3,R1.4.0,R1.0.2,00:50:C2:12:34:56,00:50:C2:12:34:57\n";
    const size_t size = earlier.size();
    const struct {
        const char* name;
        size_t limit;
        bool fileUntouched;  // the limit stops the side copy, before the file is cut
    } cases[] = {
        {"nothing can be written", 0, true},
        {"side copy stops half-way", size / 2, true},
        {"side copy stops at its last byte", size - 1, true},
        {"rewrite stops at the side copy's size", size, false},
        {"rewrite stops a few bytes later", size + record.size() / 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zrtest::GatewayDirs dirs;
        dirs.logs.Write("Tarvik_Serial_Nums.txt", earlier);

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

        const bool saved = dirs.logs.Exists("Tarvik_Serial_Nums.txt.saved");
        EXPECT_FALSE(dirs.logs.Exists("Tarvik_Serial_Nums.txt.saved.partial"));
        if (c.fileUntouched) {
            EXPECT_EQ(dirs.logs.Read("Tarvik_Serial_Nums.txt"), earlier);
            EXPECT_FALSE(saved);
        } else {
            EXPECT_TRUE(saved);
            EXPECT_EQ(dirs.logs.Read("Tarvik_Serial_Nums.txt.saved"), earlier);
        }

        // The next rewrite without a limit: every earlier record, then the new one.
        const int again = InChild([&] {
            Bench b(Family::ZEL);
            LogsAt logs(dirs);
            return b.sim && b.checks().SetReleaseIds(true, false) ? 0 : 1;
        });
        ASSERT_EQ(again, 0);
        EXPECT_EQ(dirs.logs.Read("Tarvik_Serial_Nums.txt"), before + record + after);
        EXPECT_FALSE(dirs.logs.Exists("Tarvik_Serial_Nums.txt.saved"));
    }
}

}  // namespace
