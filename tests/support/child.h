// Runs a program as a child process (POSIX) and collects what it printed.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_CHILD_H
#define ZODARURUVIZI_TESTS_SUPPORT_CHILD_H

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zrtest {

struct RunResult {
    int exit_code = -1;  // -1: killed, or did not exit normally
    std::string out;     // standard output
    std::string err;     // standard error (or, with a terminal, everything it showed)
    double seconds = 0;
};

struct RunOptions {
    // Variables to set (a value) or remove (none) in the child's environment;
    // GATEWAY_SOFTWARE_DIR and GATEWAY_LOG_DIR are removed unless given here.
    std::map<std::string, std::optional<std::string>> env;
    // Standard input and standard error on a pseudo-terminal (POSIX), with
    // `terminal_input` typed into it; standard output stays a file.
    bool terminal = false;
    std::string terminal_input;
    std::chrono::seconds timeout{60};
    // Standard output to this file instead (for example /dev/full).
    std::string stdout_path;
    // One SIGINT (SIGTERM with `terminate`) as soon as the output shows each
    // of these texts, in order.
    std::vector<std::string> interrupt_after;
    bool terminate = false;
};

// Runs `program` with `args`; throws std::runtime_error when it cannot be started.
RunResult RunChild(const std::string& program, const std::vector<std::string>& args,
                   const RunOptions& options = RunOptions());

}  // namespace zrtest

#endif  // ZODARURUVIZI_TESTS_SUPPORT_CHILD_H
