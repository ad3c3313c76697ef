#include "tests/support/child.h"

#include "tests/support/tempdir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zrtest {

namespace {

// A file in the run's temporary directory, open for the child.
class CaptureFile {
public:
    CaptureFile(const TempDir& dir, const char* name) : dir_(dir), name_(name) {
        fd_ = open(dir.File(name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw std::runtime_error("cannot create a capture file");
    }
    ~CaptureFile() { close(fd_); }
    int fd() const { return fd_; }
    std::string Read() const { return dir_.Read(name_); }

private:
    const TempDir& dir_;
    const char* name_;
    int fd_ = -1;
};

std::vector<std::string> ChildEnvironment(const RunOptions& options) {
    std::map<std::string, std::optional<std::string>> changes = options.env;
    for (const char* name : {"GATEWAY_SOFTWARE_DIR", "GATEWAY_LOG_DIR"}) {
        if (!changes.count(name))
            changes[name] = std::nullopt;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (!changes.count(name))
            env.push_back(entry);
    }
    for (const auto& change : changes) {
        if (change.second)
            env.push_back(change.first + "=" + *change.second);
    }
    return env;
}

#if !(defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34)))
void KeepDescriptorsFromChildren() {
    const long max = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (max > 0 && max < 65536 ? max : 65536); ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0)
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}
#endif

void Drain(int fd, std::string& into, int wait_ms) {
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0 || !(p.revents & POLLIN))
            return;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        into.append(buffer, static_cast<size_t>(n));
        wait_ms = 0;
    }
}

}  // namespace

RunResult RunChild(const std::string& program, const std::vector<std::string>& args,
                   const RunOptions& options) {
    TempDir dir;
    CaptureFile out(dir, "out");
    CaptureFile err(dir, "err");
    int input = open("/dev/null", O_RDONLY);
    int master = -1;
    int slave = -1;
    if (options.terminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        if (slave < 0)
            throw std::runtime_error("cannot open the pseudo-terminal");
        if (!options.terminal_input.empty()) {
            if (write(master, options.terminal_input.data(), options.terminal_input.size()) < 0) {
                throw std::runtime_error("cannot type into the pseudo-terminal");
            }
        }
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, options.terminal ? slave : input, 0);
    const int out_fd =
        options.stdout_path.empty() ? out.fd() : open(options.stdout_path.c_str(), O_WRONLY);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, options.terminal ? slave : err.fd(), 2);
    // The child must not keep the simulators' sockets: a listener it inherited
    // would stay open when the simulated device closes it for a reboot.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#else
    KeepDescriptorsFromChildren();
#endif

    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = ChildEnvironment(options);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(input);
    if (out_fd != out.fd())
        close(out_fd);
    if (spawned != 0)
        throw std::runtime_error(std::string("cannot start " + program + ": ") + strerror(spawned));

    std::string terminal_output;
    int status = 0;
    size_t interrupts = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            break;
        if (interrupts < options.interrupt_after.size() &&
            (out.Read() + (master >= 0 ? terminal_output : err.Read()))
                    .find(options.interrupt_after[interrupts]) != std::string::npos) {
            kill(pid, options.terminate ? SIGTERM : SIGINT);
            ++interrupts;
        }
        if (std::chrono::steady_clock::now() - start > options.timeout) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        if (master >= 0) {
            Drain(master, terminal_output, 20);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != -1 && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    result.out = out.Read();
    if (master >= 0) {
        Drain(master, terminal_output, 50);
        close(slave);
        close(master);
        result.err = terminal_output;
    } else {
        result.err = err.Read();
    }
    return result;
}

}  // namespace zrtest
