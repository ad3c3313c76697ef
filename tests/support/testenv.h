// Test fixtures shared by the tests that link the library: environment
// variables, the software and log directories, and sinks that capture the
// module's log lines (temporary directories: tempdir.h).
#ifndef ZODARURUVIZI_TESTS_SUPPORT_TESTENV_H
#define ZODARURUVIZI_TESTS_SUPPORT_TESTENV_H

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/processenv.h"
#include "tests/support/tempdir.h"
#include "zodaruruvizi/zodaruruvizi.h"

namespace zrtest {

// Sets (null: removes) a variable both where the C library's getenv, used by
// the simulator, reads it and where the module reads it
// (GetEnvironmentVariableA); on Windows these are two copies.
inline void SetEnv(const char* name, const char* value) {
    SetProcessEnv(name, value);
    SetEnvironmentVariableA(name, value);
}

// Sets a variable for the object's life and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        char buffer[4096];
        DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
        had_ = n > 0 && n < sizeof buffer;
        if (had_)
            old_.assign(buffer, n);
        SetEnv(name, value);
    }
    ~ScopedEnv() { SetEnv(name_.c_str(), had_ ? old_.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// Fresh software and log directories, named by GATEWAY_SOFTWARE_DIR and
// GATEWAY_LOG_DIR while the object lives.
class GatewayDirs {
public:
    GatewayDirs()
        : softwareEnv_("GATEWAY_SOFTWARE_DIR", software.path().c_str()),
          logEnv_("GATEWAY_LOG_DIR", logs.path().c_str()) {}

    TempDir software;
    TempDir logs;

    // A firmware file carrying a release marker amid other bytes.
    void WriteFirmware(const std::string& name, const std::string& release) const {
        std::string content(
            "\x7f"
            "ELF\x01\x02",
            6);
        content += std::string(300, '\0');
        content += "@(#)RELEASE=" + release;
        content += std::string("\0\x13\x37 trailing", 11);
        software.Write(name, content);
    }

private:
    ScopedEnv softwareEnv_;
    ScopedEnv logEnv_;
};

// Captures monitor lines and error locations while it lives.
class CapturedLog {
public:
    CapturedLog() {
        SetMonitorSink(&CapturedLog::OnMonitor, this);
        SetErrorSink(&CapturedLog::OnError, this);
    }
    ~CapturedLog() {
        SetMonitorSink(nullptr, nullptr);
        SetErrorSink(nullptr, nullptr);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<std::pair<std::string, std::string>> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Texts(const std::string& channel) const {
        std::vector<std::string> texts;
        for (const auto& line : Lines()) {
            if (line.first == channel)
                texts.push_back(line.second);
        }
        return texts;
    }
    int CountText(const std::string& text) const {
        int n = 0;
        for (const auto& line : Lines())
            n += line.second == text ? 1 : 0;
        return n;
    }
    size_t ErrorCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        errors_.clear();
    }

private:
    static void OnMonitor(void* context, const char* channel, const char* text) {
        auto* self = static_cast<CapturedLog*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(channel, text);
    }
    static void OnError(void* context, const char* file, int line) {
        auto* self = static_cast<CapturedLog*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->errors_.emplace_back(file, line);
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> lines_;
    std::vector<std::pair<std::string, int>> errors_;
};

}  // namespace zrtest

#endif
