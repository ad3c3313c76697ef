// Kernel calls of the platform layer: finding, copying and moving files,
// environment, last error and time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/afx.h"
#include "platform/winapi.h"
#include "tests/support/processenv.h"
#include "tests/support/testenv.h"

namespace {

using Names = std::vector<std::string>;

// 0 when the call succeeded, else its last error.
DWORD Err(BOOL ok) {
    return ok ? 0 : GetLastError();
}

// Every name FindFirstFileA/FindNextFileA return for pattern, or the error.
Names FindAll(const std::string& pattern, DWORD* error) {
    Names names;
    WIN32_FIND_DATAA data;
    SetLastError(0);
    HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.push_back(data.cFileName);
    } while (FindNextFileA(h, &data));
    EXPECT_EQ(DWORD(ERROR_NO_MORE_FILES), GetLastError());
    EXPECT_TRUE(FindClose(h));
    // Microsoft documents no result for a second close: ours refuses it.
    EXPECT_TRUE(zrtest::OnWindows() || !FindClose(h));
    return names;
}

class Kernel : public ::testing::Test {
protected:
    // The path of name in the test directory, joined with a backslash.
    std::string W(const std::string& name) const { return dir_.path() + "\\" + name; }
    const char* C(const std::string& name) {
        held_.push_back(W(name));
        return held_.back().c_str();
    }
    zrtest::TempDir dir_;
    std::deque<std::string> held_;  // keeps the names C() gave out
};

TEST_F(Kernel, FindFiles) {
    for (const char* f : {"a.txt", "b.txt", "ab.txt", "c.log", "x[1].txt", "noext", "sub"})
        dir_.Write(f, "12345");
    std::filesystem::remove(dir_.File("sub"));
    std::filesystem::create_directories(dir_.File("sub/deeper"));
    dir_.Write("sub/in.txt", "");
    const struct {
        std::string pattern;  // relative to the test directory
        Names names;
        DWORD error;
    } cases[] = {
        {"*.txt", {"a.txt", "ab.txt", "b.txt", "x[1].txt"}, 0},
        {"?.txt", {"a.txt", "b.txt"}, 0},
        {"a*", {"a.txt", "ab.txt"}, 0},
        {"x[1].txt", {"x[1].txt"}, 0},
        {"c.log", {"c.log"}, 0},
        {"sub", {"sub"}, 0},
        {"s*", {"sub"}, 0},
        {"*.*", {".", "..", "a.txt", "ab.txt", "b.txt", "c.log", "noext", "sub", "x[1].txt"}, 0},
        {"sub\\*.txt", {"in.txt"}, 0},
        {"sub\\de*", {"deeper"}, 0},
        {"sub/in.txt", {"in.txt"}, 0},
        {"*.none", {}, ERROR_FILE_NOT_FOUND},
        {"missing.txt", {}, ERROR_FILE_NOT_FOUND},
        {"", {}, ERROR_FILE_NOT_FOUND},  // "dir\": an empty name
        {"sub\\", {}, ERROR_FILE_NOT_FOUND},
        {"nodir\\*", {}, ERROR_PATH_NOT_FOUND},
        // Microsoft documents no error for a file taken as a directory: ours
        // is ERROR_PATH_NOT_FOUND, Wine's ERROR_INVALID_NAME.
        {"a.txt\\*", {}, zrtest::OnWindows() ? ~0u : DWORD(ERROR_PATH_NOT_FOUND)}};
    for (const auto& c : cases) {
        DWORD error;
        EXPECT_EQ(c.names, FindAll(W(c.pattern), &error)) << c.pattern;
        EXPECT_TRUE(c.error == error || (c.error == ~0u && error)) << c.pattern << " " << error;
    }
    DWORD error;
    EXPECT_TRUE(FindAll("", &error).empty());
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), error);
    // The data describe the entry.
    dir_.Write("f.bin", std::string(1234, 'x'));
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA(C("f.bin"), &d);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_STREQ("f.bin", d.cFileName);
    EXPECT_TRUE(d.nFileSizeLow == 1234 && d.nFileSizeHigh == 0);
    EXPECT_EQ(0u, d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    // Last write time after 2020-01-01 in 100 ns units since 1601.
    EXPECT_GT((uint64_t(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime,
              132223104000000000ULL);
    FindClose(h);
    h = FindFirstFileA(C("sub"), &d);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_NE(0u, d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    FindClose(h);
}

TEST_F(Kernel, AttributesDirectoriesCopyAndMove) {
    dir_.Write("f", "x");
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesA(C("f")));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesA(dir_.path().c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(C("none")));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(C("none\\f")));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    dir_.Write("src", "source");
    dir_.Write("dst", "old");
    dir_.Write("a", "A");
    dir_.Write("b", "B");
    const struct {
        std::function<BOOL()> op;
        DWORD error;  // 0: succeeds
        const char* file;
        const char* content;  // afterwards; null: the file does not exist
    } cases[] = {
        {[&] { return CreateDirectoryA(C("new"), nullptr); }, 0, "new/", ""},
        {[&] { return CreateDirectoryA(C("new"), nullptr); }, ERROR_ALREADY_EXISTS, "new/", ""},
        {[&] { return CreateDirectoryA(C("none\\new"), nullptr); }, ERROR_PATH_NOT_FOUND, "none",
         nullptr},
        {[&] { return DeleteFileA(C("f")); }, 0, "f", nullptr},
        {[&] { return DeleteFileA(C("f")); }, ERROR_FILE_NOT_FOUND, "f", nullptr},
        {[&] { return DeleteFileA(C("new")); }, ERROR_ACCESS_DENIED, "new/", ""},
        {[&] { return CopyFileA(C("src"), C("dst"), TRUE); }, ERROR_FILE_EXISTS, "dst", "old"},
        {[&] { return CopyFileA(C("src"), C("dst"), FALSE); }, 0, "dst", "source"},
        {[&] { return CopyFileA(C("src"), C("fresh"), TRUE); }, 0, "fresh", "source"},
        // Copying a file onto itself must not empty it.
        {[&] { return CopyFileA(C("src"), dir_.File("src").c_str(), FALSE); }, ~0u, "src",
         "source"},
        {[&] { return CopyFileA(C("none"), C("x"), FALSE); }, ERROR_FILE_NOT_FOUND, "x", nullptr},
        {[&] { return MoveFileExA(C("a"), C("b"), 0); }, ERROR_ALREADY_EXISTS, "a", "A"},
        {[&] { return TRUE; }, 0, "b", "B"},
        {[&] { return MoveFileExA(C("a"), C("b"), MOVEFILE_REPLACE_EXISTING); }, 0, "b", "A"},
        {[&] { return TRUE; }, 0, "a", nullptr},
        {[&] { return MoveFileExA(C("b"), C("c"), 0); }, 0, "c", "A"},
        {[&] { return MoveFileExA(C("b"), C("d"), 0); }, ERROR_FILE_NOT_FOUND, "d", nullptr},
    };
    for (const auto& c : cases) {
        const DWORD error = Err(c.op());
        EXPECT_TRUE(error == c.error || (c.error == ~0u && error)) << &c - cases << ": " << error;
        const std::string f = c.file;
        if (f.back() == '/')
            EXPECT_TRUE(std::filesystem::is_directory(dir_.File(f))) << f;
        else if (c.content)
            EXPECT_EQ(c.content, dir_.Read(f)) << f;
        else
            EXPECT_FALSE(dir_.Exists(f)) << f;
    }
    // An open file shares no deletion: it can be neither moved nor replaced.
    dir_.Write("held", "H");
    CFile held;
    ASSERT_TRUE(held.Open(C("held"), CFile::modeRead | CFile::shareDenyNone));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), Err(MoveFileExA(C("held"), C("d"), 0)));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED),
              Err(MoveFileExA(C("c"), C("held"), MOVEFILE_REPLACE_EXISTING)));
    EXPECT_EQ("H", dir_.Read("held"));
    held.Close();
    EXPECT_EQ(0u, Err(MoveFileExA(C("c"), C("held"), MOVEFILE_REPLACE_EXISTING)));
    EXPECT_EQ("A", dir_.Read("held"));
}

TEST(KernelEnvironment, VariablesAndTempPath) {
    zrtest::SetProcessEnv("ZR_PLATFORM_TEST_VAR", "hello");
    zrtest::SetProcessEnv("ZR_PLATFORM_TEST_EMPTY", "");  // removes it on Windows
    zrtest::SetProcessEnv("ZR_PLATFORM_TEST_UNSET", nullptr);
    struct {
        const char* name;
        DWORD size, result;
        const char* text;  // buffer contents expected, or null
        DWORD error;       // GetLastError expected, or ~0 for any
    } cases[] = {{"ZR_PLATFORM_TEST_VAR", 16, 5, "hello", ~0u},
                 {"ZR_PLATFORM_TEST_VAR", 6, 5, "hello", ~0u},
                 {"ZR_PLATFORM_TEST_VAR", 5, 6, nullptr, ~0u},
                 {"ZR_PLATFORM_TEST_VAR", 0, 6, nullptr, ~0u},
                 {"ZR_PLATFORM_TEST_UNSET", 16, 0, nullptr, ERROR_ENVVAR_NOT_FOUND},
                 {"ZR_PLATFORM_TEST_EMPTY", 16, 0, "", ERROR_SUCCESS}};
    for (const auto& c : cases) {
        if (zrtest::OnWindows() && c.text && c.result == 0)
            continue;
        char buf[16] = "untouched";
        SetLastError(12345);
        EXPECT_EQ(c.result, GetEnvironmentVariableA(c.name, c.size ? buf : nullptr, c.size))
            << c.name << " " << c.size;
        EXPECT_TRUE(!c.text || std::string(c.text) == buf) << c.name << " " << buf;
        EXPECT_TRUE(c.error == ~0u || c.error == GetLastError()) << c.name;
    }
    if (zrtest::OnWindows())
        GTEST_SKIP() << "Windows takes the temporary directory from TMP or TEMP, not TMPDIR";
    const char* saved = std::getenv("TMPDIR");
    std::string keep = saved ? saved : "";
    char buf[MAX_PATH];
    zrtest::SetProcessEnv("TMPDIR", "/var/zr");
    EXPECT_EQ(8u, GetTempPathA(sizeof buf, buf));
    EXPECT_STREQ("/var/zr/", buf);
    EXPECT_EQ(9u, GetTempPathA(8, buf));
    zrtest::SetProcessEnv("TMPDIR", nullptr);
    EXPECT_EQ(5u, GetTempPathA(sizeof buf, buf));
    EXPECT_STREQ("/tmp/", buf);
    zrtest::SetProcessEnv("TMPDIR", saved ? keep.c_str() : nullptr);
}

TEST(KernelMisc, LastErrorExecutionStateTimeAndIds) {
    // Atomics instead of waits: on Windows starting a thread or waiting sets
    // the calling thread's last error.
    std::atomic<int> step{0};
    DWORD other = 0;
    std::thread t([&] {
        other = GetCurrentThreadId();
        EXPECT_EQ(0u, GetLastError());
        while (step != 1) {
        }
        SetLastError(7);
        WSASetLastError(WSAECONNRESET);
        EXPECT_EQ(DWORD(WSAECONNRESET), GetLastError());
        step = 2;
    });
    SetLastError(5);
    step = 1;
    while (step != 2) {
    }
    EXPECT_EQ(5u, GetLastError());
    t.join();
    EXPECT_NE(0u, other);
    EXPECT_NE(other, GetCurrentThreadId());
    EXPECT_EQ(DWORD(zrtest::CurrentProcessId()), GetCurrentProcessId());

    EXPECT_NE(0u, SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));  // 0: failure
    EXPECT_EQ(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, SetThreadExecutionState(ES_SYSTEM_REQUIRED));
    EXPECT_EQ(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, SetThreadExecutionState(ES_CONTINUOUS));

    DWORD t0 = GetTickCount();
    Sleep(60);
    DWORD dt = GetTickCount() - t0;
    EXPECT_GE(dt, 44u);  // GetTickCount moves in steps of up to 16 ms
    EXPECT_LT(dt, 2000u);
    SYSTEMTIME st;
    GetLocalTime(&st);
    EXPECT_GE(st.wYear, 2024);
    EXPECT_TRUE(st.wMonth >= 1 && st.wMonth <= 12 && st.wDayOfWeek <= 6 && st.wMilliseconds < 1000);
}

}  // namespace
