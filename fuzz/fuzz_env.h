// What every fuzz target shares: a temporary software and log directory named
// through the environment, and quiet log sinks.
#ifndef ZODARURUVIZI_FUZZ_FUZZ_ENV_H
#define ZODARURUVIZI_FUZZ_FUZZ_ENV_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "zodaruruvizi/zodaruruvizi.h"

namespace zrfuzz {

inline void Quiet(void*, const char*, const char*) {}
inline void QuietError(void*, const char*, int) {}

// Directories made once per fuzzing process and removed at its end.
class Environment {
public:
    Environment() {
        base_ = std::filesystem::temp_directory_path() / ("zrfuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(base_ / "software");
        std::filesystem::create_directories(base_ / "logs");
        software_ = (base_ / "software").string();
        logs_ = (base_ / "logs").string();
        SetEnvironmentVariableA("GATEWAY_SOFTWARE_DIR", software_.c_str());
        SetEnvironmentVariableA("GATEWAY_LOG_DIR", logs_.c_str());
        SetMonitorSink(&Quiet, nullptr);
        SetErrorSink(&QuietError, nullptr);
    }
    ~Environment() {
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    const std::string& software() const { return software_; }
    const std::string& logs() const { return logs_; }

    static void Write(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), std::streamsize(content.size()));
        if (!out) {
            fprintf(stderr, "cannot write %s\n", path.c_str());
            abort();
        }
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path base_;
    std::string software_;
    std::string logs_;
};

inline Environment& Env() {
    static Environment env;
    return env;
}

[[noreturn]] inline void Fail(const char* target, const char* what) {
    fprintf(stderr, "%s: %s\n", target, what);
    abort();
}

}  // namespace zrfuzz

#endif
