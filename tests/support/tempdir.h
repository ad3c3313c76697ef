// The suite's temporary directory: a fresh directory, removed with everything
// in it at destruction. Needs neither the library nor the tools.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_TEMPDIR_H
#define ZODARURUVIZI_TESTS_SUPPORT_TEMPDIR_H

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/processenv.h"

namespace zrtest {

class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        const auto base = std::filesystem::temp_directory_path();
        for (;;) {
            std::filesystem::path candidate =
                base / ("zrtest-" + std::to_string(CurrentProcessId()) + "-" +
                        std::to_string(counter.fetch_add(1)));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                path_ = candidate.string();
                return;
            }
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const {
        return (std::filesystem::path(path_) / name).string();
    }
    void Write(const std::string& name, const std::string& content) const {
        std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
        out << content;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The file's lines without line ends (CR LF or LF).
    std::vector<std::string> Lines(const std::string& name) const {
        std::vector<std::string> lines;
        std::istringstream in(Read(name));
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }
    bool Exists(const std::string& name) const {
        return std::filesystem::exists(std::filesystem::path(path_) / name);
    }

private:
    std::string path_;
};

}  // namespace zrtest

#endif  // ZODARURUVIZI_TESTS_SUPPORT_TEMPDIR_H
