// The gwsim program run as a child process.
// Linux only: it starts the child with posix_spawn and stops it with signals.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/loopback.h"
#include "tests/support/frames.h"
#include "tools/gwsim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;

namespace fs = std::filesystem;
using rawclient::Client;
using rawclient::ConnectResult;
using rawclient::Request;
using std::chrono::milliseconds;

namespace {

std::string TempFile(const std::string& name, const std::string& content) {
    static int counter = 0;
    fs::path p = fs::temp_directory_path() / ("gwsim_child_" + zrtest::NextLoopbackAddress({}) +
                                              "_" + std::to_string(counter++) + "_" + name);
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}

// A child gwsim process with its standard output on a pipe.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<std::string> all = {GWSIM_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, GWSIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            int status;
            waitpid(pid_, &status, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    bool started() const { return pid_ > 0; }

    // Output until `text` appears (true) or the time runs out or output ends.
    bool WaitForOutput(const std::string& text, milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0)
                return false;
            char buf[4096];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0)
                return output_.find(text) != std::string::npos;
            output_.append(buf, size_t(n));
        }
        return true;
    }

    // The exit code, or -1 when it did not exit normally within the timeout.
    int Wait(milliseconds timeout) {
        WaitForOutput("\x01never", timeout);  // drains output until it ends
        auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        for (;;) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_)
                break;
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            // The output has ended, so the process is exiting: yield briefly.
            pollfd none = {-1, 0, 0};
            poll(&none, 0, 10);
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void Signal(int sig) { kill(pid_, sig); }
    const std::string& output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string output_;
};

TEST(GwsimProgram, BadArgumentsExitWithTwo) {
    std::string bad_json = TempFile("bad.json", "{\"family\": \"ZEL\", \"cable\": 3}");
    std::string mir_json = TempFile("mir.json", "{\"family\": \"MIR\"}");
    const std::string z = "--family", b = "--bind", a = "127.0.0.2";
    std::vector<std::vector<std::string>> cases = {
        {},
        {"--family", "ZEL", "--bind", a},
        {"serve", b, a},
        {"serve", z, "ZEL"},
        {"serve", z, "XYZ", b, a},
        {"serve", z, "zel", b, a},
        {"serve", z, "ZEL", b, "127.0.0"},
        {"serve", z, "ZEL", b, a, "--port", "70000"},
        {"serve", z, "ZEL", b, a, "--port", "abc"},
        {"serve", z, "ZEL", b, a, "--state", "/nonexistent/state.json"},
        {"serve", z, "ZEL", b, a, "--state", bad_json},
        {"serve", z, "ZEL", b, a, "--state", mir_json},
        {"serve", z, "ZEL", b, a, "--save-state", "/nonexistent/dir/state.json"},
        {"serve", z, "ZEL", b, a, "--fault", "explode"},
        {"serve", z, "ZEL", b, a, "--connection-fault", "sometimes"},
        {"serve", z, "ZEL", b, a, "--cpld", "twelve"},
        {"serve", z, "ZEL", b, a, "--cable", "usb"},
        {"serve", z, "ZEL", b, a, "--reboot-ms", "-5"},
        {"serve", z, "ZEL", b, a, "--no-such-option"},
        {"serve", z, "ZEL", b, a, "--record", "x.json"},
        {"proxy", z, "ZEL", b, a},
        {"replay", b, a},
        {"replay", "/nonexistent/session.json", b, a},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& a : args)
            line += a + " ";
        SCOPED_TRACE(line);
        Child child(args);
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.Wait(milliseconds(10000)), 2) << child.output();
        EXPECT_FALSE(child.output().empty());
    }
    fs::remove(bad_json);
    fs::remove(mir_json);
}

TEST(GwsimProgram, ServesUntilSigterm) {
    std::string address = zrtest::NextLoopbackAddress();
    std::string state = TempFile("state.json", R"({"family":"MIR","serial_number":"FROM-FILE"})");
    std::string saved = state + ".saved";
    Child child({"serve", "--family", "MIR", "--bind", address, "--state", state, "--lc",
                 "MIR Release 7.1", "--verbose", "--fault", "status:code=3,status=6",
                 "--save-state", saved});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.WaitForOutput("listening on", milliseconds(10000))) << child.output();
    {
        Client c;
        ASSERT_EQ(c.Connect(address, 9181), ConnectResult::Connected);
        auto serial = c.Exchange(Request(0x11, 1, 1));
        ASSERT_TRUE(serial);
        EXPECT_EQ(serial->text(), "FROM-FILE");
        auto lc = c.Exchange(Request(0x11, 2, 2));
        ASSERT_TRUE(lc);
        EXPECT_EQ(lc->text(), "MIR Release 7.1");
        auto prom = c.Exchange(Request(0x11, 3, 3));
        ASSERT_TRUE(prom);
        EXPECT_EQ(prom->status, 6u);
    }
    // --verbose prints requests and replies.
    EXPECT_TRUE(child.WaitForOutput("MIR Release 7.1", milliseconds(5000))) << child.output();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(milliseconds(10000)), 0) << child.output();
    Client after;
    EXPECT_EQ(after.Connect(address, 9181), ConnectResult::Refused);
    gwsim::DeviceState s;
    std::string error;
    ASSERT_TRUE(gwsim::DeviceState::LoadFile(saved, &s, &error)) << error;
    EXPECT_EQ(s.lc_release, "MIR Release 7.1");
    fs::remove(state);
    fs::remove(saved);
}

TEST(GwsimProgram, AddressInUseIsReported) {
    std::string error;
    auto sim = zrtest::StartSimulator(gwsim::DeviceState::Default(gwsim::Family::ZEL),
                                      gwsim::Options(), &error);
    ASSERT_TRUE(sim) << error;
    Child child({"serve", "--family", "ZEL", "--bind", sim->address()});
    ASSERT_TRUE(child.started());
    int code = child.Wait(milliseconds(10000));
    EXPECT_NE(code, 0);
    EXPECT_NE(child.output().find(sim->address()), std::string::npos) << child.output();
}

TEST(GwsimProgram, SigintStopsToo) {
    std::string address = zrtest::NextLoopbackAddress({9555});
    Child child({"serve", "--family", "ZEL", "--bind", address, "--port", "9555", "--cpld", "12"});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.WaitForOutput("listening on", milliseconds(10000))) << child.output();
    {
        Client c;
        ASSERT_EQ(c.Connect(address, 9555), ConnectResult::Connected);
        auto r = c.Exchange(Request(0x01, 1, 0x800));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->data, (rawclient::Bytes{0, 0, 0, 12}));
    }
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(milliseconds(10000)), 0) << child.output();
}

}  // namespace
