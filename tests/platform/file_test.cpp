// CFile and CStdioFile: line reading, buffering, sharing and errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/afx.h"
#include "tests/support/processenv.h"
#include "tests/support/syscall_override.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The file's lines without line ends: text files end lines in CR LF on Windows.
std::vector<std::string> LinesOf(const std::string& path) {
    std::istringstream in(ReadAll(path));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void WriteAll(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = (fs::temp_directory_path() /
                ("zr_platform_" + std::to_string(GetCurrentProcessId()) + "_" + info->name()))
                   .string();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ + "/file.txt";
        winPath_ = dir_ + "\\file.txt";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::vector<std::string> ReadLines(const std::string& content, UINT type = CFile::typeText) {
        WriteAll(path_, content);
        CStdioFile f;
        EXPECT_TRUE(f.Open(winPath_.c_str(), CFile::modeRead | CFile::shareDenyNone | type));
        std::vector<std::string> lines;
        CString line;
        while (f.ReadString(line))
            lines.push_back(line.str());
        EXPECT_TRUE(line.IsEmpty());
        return lines;
    }

    std::string dir_;
    std::string path_;
    std::string winPath_;
};

TEST_F(Files, ReadStringSplitsLines) {
    using Lines = std::vector<std::string>;
    const std::string longLine(100000, 'q');
    struct Case {
        std::string content;
        Lines lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a\nb\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"\n\n", {"", ""}},
        {"only", {"only"}},
        {std::string("x\0y\nz\0", 6), {std::string("x\0y", 3), std::string("z\0", 2)}},
        {longLine + "\nend", {longLine, "end"}},
        {std::string(16383, 'a') + "\n" + std::string(16385, 'b'),
         {std::string(16383, 'a'), std::string(16385, 'b')}},
    };
    for (const Case& c : cases) {
        Lines got = ReadLines(c.content);
        EXPECT_EQ(c.lines.size(), got.size()) << "content size " << c.content.size();
        EXPECT_TRUE(c.lines == got) << "content size " << c.content.size();
    }
    // In a binary file a CR before the LF belongs to the line.
    EXPECT_TRUE((Lines{"a\r", "b\r"}) == ReadLines("a\r\nb\r\n", CFile::typeBinary));
    // A text file's lines come back as written, whatever the system's line end.
    {
        CStdioFile f;
        ASSERT_TRUE(f.Open(winPath_.c_str(), CFile::modeCreate | CFile::modeWrite));
        f.WriteString("a\n\nb\n");
    }
    CStdioFile f;
    ASSERT_TRUE(f.Open(winPath_.c_str(), CFile::modeRead));
    Lines got;
    CString line;
    while (f.ReadString(line))
        got.push_back(line.str());
    EXPECT_TRUE((Lines{"a", "", "b"}) == got);
}

TEST_F(Files, WriteStringWritesUpToZeroOrEveryByte) {
    CStdioFile f;
    ASSERT_TRUE(f.Open(winPath_.c_str(), CFile::modeCreate | CFile::modeWrite));
    f.WriteString("ab\0cd");
    f.WriteString(CString("ef\0gh\n", 6));
    f.Close();
    EXPECT_EQ(std::vector<std::string>{std::string("abef\0gh", 7)}, LinesOf(path_));
}

TEST_F(Files, ReadAheadStaysCoherentWithSeekWriteAndSetLength) {
    WriteAll(path_, "line1\nline2\nline3\n");
    CStdioFile f;
    ASSERT_TRUE(f.Open(winPath_.c_str(), CFile::modeReadWrite | CFile::modeNoTruncate));
    CString line;
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ("line1", line.str());
    EXPECT_EQ(6u, f.Seek(0, CFile::current));
    f.Write("X", 1);  // lands after the line read, not after the read-ahead
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ("ine2", line.str());
    char buf[3] = {};
    EXPECT_EQ(3u, f.Read(buf, 3));
    EXPECT_EQ("lin", std::string(buf, 3));

    // Truncate and rewrite.
    f.SeekToBegin();
    ASSERT_TRUE(f.ReadString(line));
    f.SetLength(0);
    EXPECT_EQ(0u, f.GetLength());
    f.WriteString("new\n");
    f.SeekToBegin();
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ("new", line.str());
    EXPECT_FALSE(f.ReadString(line));
    f.Close();
    EXPECT_EQ(std::vector<std::string>{"new"}, LinesOf(path_));
}

TEST_F(Files, CreateTruncatesUnlessNoTruncate) {
    WriteAll(path_, "keep");
    {
        CFile f;
        ASSERT_TRUE(
            f.Open(winPath_.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
        EXPECT_EQ(4u, f.GetLength());
        EXPECT_EQ(4u, f.SeekToEnd());
        f.Write("!", 1);
    }
    EXPECT_EQ("keep!", ReadAll(path_));
    {
        CFile f;
        ASSERT_TRUE(f.Open(winPath_.c_str(), CFile::modeCreate | CFile::modeWrite));
        EXPECT_EQ(0u, f.GetLength());
    }
    EXPECT_EQ("", ReadAll(path_));
}

TEST_F(Files, OpenFailureFillsTheException) {
    struct Case {
        std::string path;
        UINT flags;
        int cause;
        LONG osError;
    };
    std::vector<Case> cases = {
        {dir_ + "\\missing.txt", CFile::modeRead, CFileException::fileNotFound,
         ERROR_FILE_NOT_FOUND},
        {dir_ + "\\nodir\\f.txt", CFile::modeRead, CFileException::badPath, ERROR_PATH_NOT_FOUND},
        {dir_ + "\\nodir\\f.txt", CFile::modeCreate | CFile::modeWrite, CFileException::badPath,
         ERROR_PATH_NOT_FOUND},
        {dir_, CFile::modeRead, CFileException::accessDenied, ERROR_ACCESS_DENIED},
    };
    // A named pipe in place of a file is refused without waiting for its other
    // end, in the modes of a firmware file, the record file and the log.
    if (zrtest::MakeFifo(path_.c_str())) {
        for (UINT mode : {CFile::modeRead | CFile::shareDenyNone,
                          CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite,
                          CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite}) {
            cases.push_back({winPath_, mode, CFileException::accessDenied, ERROR_ACCESS_DENIED});
        }
    }
    for (const Case& c : cases) {
        CFile f;
        CFileException e;
        EXPECT_FALSE(f.Open(c.path.c_str(), c.flags, &e)) << c.path;
        EXPECT_EQ(c.cause, e.m_cause) << c.path;
        EXPECT_EQ(c.osError, e.m_lOsError) << c.path;
        EXPECT_EQ(c.path, e.m_strFileName.str());
        EXPECT_FALSE(f.IsOpen());
    }
}

int CauseOfThrow(const std::function<void()>& op) {
    try {
        op();
    } catch (CFileException* e) {
        int cause = e->m_cause;
        e->Delete();
        return cause;
    }
    return CFileException::none;
}

TEST_F(Files, OperationsThrowWithFittingCause) {
    WriteAll(path_, "data");
    CFile f;
    ASSERT_TRUE(f.Open(winPath_.c_str(), CFile::modeRead | CFile::shareDenyNone));
    EXPECT_EQ(CFileException::accessDenied, CauseOfThrow([&] { f.Write("x", 1); }));
    EXPECT_EQ(CFileException::accessDenied, CauseOfThrow([&] { f.SetLength(1); }));
    EXPECT_EQ(CFileException::badSeek, CauseOfThrow([&] { f.Seek(-10, CFile::begin); }));
    EXPECT_EQ(2u, f.Seek(2, CFile::begin));
    char buf[8];
    EXPECT_EQ(2u, f.Read(buf, sizeof buf));
    f.Close();
    f.Close();
    EXPECT_EQ(CFileException::invalidFile, CauseOfThrow([&] { f.Read(buf, 1); }));

    CFile w;
    ASSERT_TRUE(w.Open(winPath_.c_str(), CFile::modeWrite | CFile::shareDenyNone));
    EXPECT_EQ(CFileException::accessDenied, CauseOfThrow([&] { w.Read(buf, 1); }));
    w.Flush();
}

// Faults of the system calls under the files, injected at the exact call: a
// caller sees the fitting cause or error, and what can be retried is.
TEST_F(Files, SystemCallFaultsReachTheCallerOrAreRetried) {
    if (!zrtest::SysOverride::Available())
        GTEST_SKIP() << "system calls are injected into the Linux layer only";
    using zrtest::SysCall;
    const std::string data(4000, 'd');
    const std::string copy = dir_ + "\\copy.txt";
    enum Op { kWrite, kRead, kFlush, kSetLength, kCopy, kMove };
    // The CFile cause thrown, or the last error of a failed kernel call; -1
    // when the data came out wrong.
    auto run = [&](Op op) -> int {
        if (op == kCopy || op == kMove) {
            WriteAll(path_, data);
            BOOL ok = op == kCopy
                          ? CopyFileA(winPath_.c_str(), copy.c_str(), FALSE)
                          : MoveFileExA(winPath_.c_str(), copy.c_str(), MOVEFILE_REPLACE_EXISTING);
            bool same = ReadAll(op == kCopy || ok ? dir_ + "/copy.txt" : path_) == data;
            return ok ? (same ? 0 : -1) : static_cast<int>(GetLastError());
        }
        if (op == kRead)
            WriteAll(path_, data);
        return CauseOfThrow([&] {
            CFile f;
            ASSERT_TRUE(f.Open(winPath_.c_str(), op == kRead
                                                     ? CFile::modeRead
                                                     : CFile::modeCreate | CFile::modeWrite));
            std::string got(data.size(), '\0');
            if (op == kRead && f.Read(&got[0], 4000) == 4000 && got == data)
                return;
            if (op == kWrite)
                f.Write(data.data(), 4000);
            if (op == kFlush)
                f.Flush();
            if (op == kSetLength)
                f.SetLength(10);
            f.Close();
            if (op == kRead || ReadAll(path_) != (op == kWrite ? data : ""))
                throw new CFileException(-1);
        });
    };
    const struct {
        const char* name;
        zrtest::SysFault fault;
        Op op;
        int expected;  // cause or last error; 0 for none
    } cases[] = {
        {"write: disk full", {SysCall::kWrite, ENOSPC}, kWrite, CFileException::diskFull},
        {"write interrupted", {SysCall::kWrite, EINTR}, kWrite, CFileException::none},
        {"short write", {SysCall::kWrite, 0}, kWrite, CFileException::none},
        {"read interrupted", {SysCall::kRead, EINTR}, kRead, CFileException::none},
        {"short read", {SysCall::kRead, 0}, kRead, CFileException::none},
        {"data sync fails", {SysCall::kFdatasync, EIO}, kFlush, CFileException::hardIO},
        {"truncation: disk full",
         {SysCall::kFtruncate, ENOSPC},
         kSetLength,
         CFileException::diskFull},
        {"copy: disk full", {SysCall::kWrite, ENOSPC}, kCopy, ERROR_DISK_FULL},
        {"copy: short write", {SysCall::kWrite, 0}, kCopy, 0},
        {"move: rename refused", {SysCall::kRename, EACCES}, kMove, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        fs::remove(path_);
        fs::remove(dir_ + "/copy.txt");
        int got;
        {
            zrtest::SysOverride fault(c.fault);
            got = run(c.op);
            EXPECT_EQ(fault.Faults(), 1) << c.name;
        }
        EXPECT_EQ(got, c.expected) << c.name;
        if (c.op == kCopy && c.expected) {
            EXPECT_FALSE(fs::exists(dir_ + "/copy.txt")) << c.name << ": the partial copy stays";
        }
    }
}

TEST_F(Files, SharingBetweenOpens) {
    const UINT R = CFile::modeRead, W = CFile::modeWrite, RW = CFile::modeReadWrite;
    struct Case {
        UINT first;
        UINT second;
        bool secondOpens;
    };
    const Case cases[] = {
        {W | CFile::shareDenyWrite, W | CFile::shareDenyNone, false},
        {W | CFile::shareDenyWrite, RW | CFile::shareDenyNone, false},
        {W | CFile::shareDenyWrite, R | CFile::shareDenyNone, true},
        {R | CFile::shareDenyWrite, R | CFile::shareDenyWrite, true},
        {R | CFile::shareDenyWrite, W | CFile::shareDenyNone, false},
        {R | CFile::shareDenyNone, W | CFile::shareDenyNone, true},
        {R | CFile::shareDenyNone, W | CFile::shareDenyWrite, true},
        {W | CFile::shareDenyNone, R | CFile::shareDenyWrite, false},
        {W | CFile::shareExclusive, R | CFile::shareDenyNone, false},
        {R | CFile::shareDenyNone, R | CFile::shareExclusive, false},
        {W | CFile::shareDenyWrite, W | CFile::modeCreate | CFile::shareDenyNone, false},
        // Read and write access held together, as the identity record file is.
        {RW | CFile::shareDenyWrite, R | CFile::shareDenyNone, true},
        {RW | CFile::shareDenyWrite, R | CFile::shareDenyWrite, false},
        {RW | CFile::shareDenyWrite, RW | CFile::shareDenyWrite, false},
        {R | CFile::shareDenyNone, RW | CFile::shareDenyWrite, true},
        {RW | CFile::shareExclusive, R | CFile::shareDenyNone, false},
        // Denying reads alone leaves writers in.
        {W | CFile::shareDenyRead, W | CFile::shareDenyNone, true},
        {W | CFile::shareDenyRead, R | CFile::shareDenyNone, false},
    };
    for (const Case& c : cases) {
        WriteAll(path_, "content");
        CFile first, second;
        ASSERT_TRUE(first.Open(winPath_.c_str(), c.first));
        CFileException e;
        EXPECT_EQ(c.secondOpens, second.Open(winPath_.c_str(), c.second, &e) != FALSE)
            << std::hex << c.first << " then " << c.second;
        if (!c.secondOpens) {
            EXPECT_EQ(CFileException::sharingViolation, e.m_cause);
            EXPECT_EQ(ERROR_SHARING_VIOLATION, e.m_lOsError);
        }
        second.Abort();
        first.Close();
        EXPECT_EQ("content", ReadAll(path_)) << "a refused open must not truncate";
        CFile third;
        EXPECT_TRUE(third.Open(winPath_.c_str(), c.second)) << "the first close releases";
    }
}

}  // namespace
