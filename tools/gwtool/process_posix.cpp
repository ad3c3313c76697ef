// Child processes on POSIX: posix_spawn.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/gwtool/process.h"

extern char** environ;

namespace gwtool {

std::string SelfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool SpawnChild(const std::vector<std::string>& args, const std::string& out_path, Child* child,
                std::string* error) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int r = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) {
        *error = std::strerror(r);
        return false;
    }
    child->handle = pid;
    return true;
}

bool ChildEnded(Child& child, int* exit_code) {
    int status = 0;
    const pid_t r = waitpid(static_cast<pid_t>(child.handle), &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR))
        return false;
    *exit_code = (r > 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return true;
}

void PauseBriefly() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace gwtool
