// CFile writing beyond the process's file size limit.
// Linux only: it needs fork, setrlimit(RLIMIT_FSIZE) and SIGXFSZ.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <string>

#include "platform/afx.h"

namespace {

namespace fs = std::filesystem;

// Runs in a child with a file size limit and SIGXFSZ ignored; the exit code
// tells what Write did: 10 + 0 thrown diskFull, 11 thrown another cause, 2 no throw.
int WriteBeyondSizeLimit(const std::string& path, const std::string& firstWrite,
                         size_t secondWrite) {
    pid_t pid = fork();
    if (pid == 0) {
        rlimit lim{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &lim);
        signal(SIGXFSZ, SIG_IGN);
        CFile f;
        if (!f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite))
            _exit(3);
        try {
            f.Write(firstWrite.data(), static_cast<UINT>(firstWrite.size()));
            std::string more(secondWrite, 'm');
            f.Write(more.data(), static_cast<UINT>(more.size()));
            f.Close();
        } catch (CFileException* e) {
            int code = e->m_cause == CFileException::diskFull ? 10 : 11;
            e->Delete();
            _exit(code);
        }
        _exit(2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(FileLimits, WriteBeyondFileSizeLimitThrows) {
    const fs::path dir = fs::temp_directory_path() / ("zr_platform_" + std::to_string(getpid()) +
                                                      "_WriteBeyondFileSizeLimitThrows");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "file.txt").string();
    EXPECT_EQ(10, WriteBeyondSizeLimit(path, std::string(4000, 'a'), 0));
    EXPECT_EQ(10, WriteBeyondSizeLimit(path, std::string(600, 'a'), 600)) << "a short write";
    EXPECT_EQ(10, WriteBeyondSizeLimit(path, std::string(1000, 'a'), 1));
    EXPECT_EQ(2, WriteBeyondSizeLimit(path, std::string(500, 'a'), 500));
    fs::remove_all(dir);
}

}  // namespace
