// CFile and CStdioFile: line reading, buffering, sharing and errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/afx.h"
#include "tests/support/processenv.h"
#include "tests/support/syscall_override.h"
#include "tests/support/testenv.h"

namespace {

using Lines = std::vector<std::string>;
const UINT R = CFile::modeRead, W = CFile::modeWrite, RW = CFile::modeReadWrite,
           New = CFile::modeCreate, Keep = CFile::modeNoTruncate, DenyNone = CFile::shareDenyNone,
           DenyW = CFile::shareDenyWrite, DenyR = CFile::shareDenyRead,
           Excl = CFile::shareExclusive;

// Expects each pair (got, want) of a run of calls, made in order (a braced
// list is evaluated in order).
void Steps(std::initializer_list<long long> pairs) {
    for (auto p = pairs.begin(); p + 1 < pairs.end(); p += 2)
        EXPECT_EQ(p[0], p[1]) << "pair " << (p - pairs.begin()) / 2;
}

// The cause of the CFileException op throws, or none.
int Throws(const std::function<void()>& op) {
    try {
        op();
    } catch (CFileException* e) {
        int cause = e->m_cause;
        e->Delete();
        return cause;
    }
    return CFileException::none;
}

class Files : public ::testing::Test {
protected:
    Lines ReadLines(UINT type = CFile::typeText) {
        CStdioFile f;
        EXPECT_TRUE(f.Open(win_.c_str(), R | DenyNone | type));
        Lines lines;
        CString line;
        while (f.ReadString(line))
            lines.push_back(line.str());
        EXPECT_TRUE(line.IsEmpty());
        return lines;
    }
    zrtest::TempDir dir_;
    const std::string path_ = dir_.File("file.txt"), win_ = dir_.path() + "\\file.txt";
};

TEST_F(Files, ReadAndWriteStrings) {
    const std::string longLine(100000, 'q'), a(16383, 'a'), b(16385, 'b');
    const struct {
        std::string content;
        Lines lines;
    } cases[] = {{"", {}},
                 {"a\nb\n", {"a", "b"}},
                 {"a\nb", {"a", "b"}},
                 {"\n\n", {"", ""}},
                 {"only", {"only"}},
                 {std::string("x\0y\nz\0", 6), {std::string("x\0y", 3), std::string("z\0", 2)}},
                 {longLine + "\nend", {longLine, "end"}},
                 {a + "\n" + b, {a, b}}};
    for (const auto& c : cases) {
        dir_.Write("file.txt", c.content);
        EXPECT_TRUE(c.lines == ReadLines()) << "content size " << c.content.size();
    }
    // In a binary file a CR before the LF belongs to the line.
    dir_.Write("file.txt", "a\r\nb\r\n");
    EXPECT_TRUE((Lines{"a\r", "b\r"}) == ReadLines(CFile::typeBinary));
    // A text file's lines come back as written, whatever the system's line
    // end; WriteString writes up to a zero, or every byte of a CString.
    CStdioFile f;
    ASSERT_TRUE(f.Open(win_.c_str(), New | W));
    f.WriteString("a\n\nb\n");
    f.WriteString("ab\0cd");
    f.WriteString(CString("ef\0gh\n", 6));
    f.Close();
    EXPECT_TRUE((Lines{"a", "", "b", std::string("abef\0gh", 7)}) == ReadLines());
}

TEST_F(Files, ReadAheadStaysCoherentWithSeekWriteAndSetLength) {
    dir_.Write("file.txt", "line1\nline2\nline3\n");
    CStdioFile f;
    ASSERT_TRUE(f.Open(win_.c_str(), RW | Keep));
    CString line;
    char buf[3] = {};
    auto Line = [&](const char* text) { return f.ReadString(line) && line.str() == text; };
    // A write lands after the line read, not after the read-ahead.
    Steps({Line("line1"), 1, int(f.Seek(0, CFile::current)), 6});
    f.Write("X", 1);
    Steps({Line("ine2"), 1, f.Read(buf, 3), 3, std::string(buf, 3) == "lin", 1});
    f.SeekToBegin();
    Steps({f.ReadString(line), 1});
    f.SetLength(0);
    Steps({int(f.GetLength()), 0});
    f.WriteString("new\n");
    f.SeekToBegin();
    Steps({Line("new"), 1, f.ReadString(line), 0});
    f.Close();
    EXPECT_EQ(Lines{"new"}, dir_.Lines("file.txt"));
    // Create truncates unless told not to.
    dir_.Write("file.txt", "keep");
    CFile k;
    ASSERT_TRUE(k.Open(win_.c_str(), New | Keep | W));
    Steps({int(k.GetLength()), 4, int(k.SeekToEnd()), 4});
    k.Write("!", 1);
    k.Close();
    EXPECT_EQ("keep!", dir_.Read("file.txt"));
    ASSERT_TRUE(k.Open(win_.c_str(), New | W));
    Steps({int(k.GetLength()), 0});
    k.Close();
    EXPECT_EQ("", dir_.Read("file.txt"));
}

TEST_F(Files, FailuresGiveTheirCause) {
    const std::string nodir = dir_.path() + "\\nodir\\f.txt";
    struct Case {
        std::string path;
        UINT flags;
        int cause;
        LONG osError;
    };
    std::vector<Case> cases = {
        {dir_.path() + "\\missing.txt", R, CFileException::fileNotFound, ERROR_FILE_NOT_FOUND},
        {nodir, R, CFileException::badPath, ERROR_PATH_NOT_FOUND},
        {nodir, New | W, CFileException::badPath, ERROR_PATH_NOT_FOUND},
        {dir_.path(), R, CFileException::accessDenied, ERROR_ACCESS_DENIED}};
    // A named pipe in place of a file is refused without waiting for its other
    // end, in the modes of a firmware file, the record file and the log.
    if (zrtest::MakeFifo(path_.c_str())) {
        for (UINT mode : {R | DenyNone, New | Keep | RW, New | Keep | W})
            cases.push_back({win_, mode, CFileException::accessDenied, ERROR_ACCESS_DENIED});
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
    std::filesystem::remove(path_);
    dir_.Write("file.txt", "data");
    CFile f, w;
    ASSERT_TRUE(f.Open(win_.c_str(), R | DenyNone));
    char buf[8];
    Steps({Throws([&] { f.Write("x", 1); }), CFileException::accessDenied,
           Throws([&] { f.SetLength(1); }), CFileException::accessDenied});
    Steps({Throws([&] { f.Seek(-10, CFile::begin); }), CFileException::badSeek,
           int(f.Seek(2, CFile::begin)), 2, f.Read(buf, sizeof buf), 2});
    f.Close();
    f.Close();
    Steps({Throws([&] { f.Read(buf, 1); }), CFileException::invalidFile,
           w.Open(win_.c_str(), W | DenyNone), 1, Throws([&] { w.Read(buf, 1); }),
           CFileException::accessDenied});
    w.Flush();
}

// Faults of the system calls under the files, injected at the exact call: a
// caller sees the fitting cause or error, and what can be retried is.
TEST_F(Files, SystemCallFaultsReachTheCallerOrAreRetried) {
    if (!zrtest::SysOverride::Available())
        GTEST_SKIP() << "system calls are injected into the Linux layer only";
    using zrtest::SysCall;
    const std::string data(4000, 'd'), copy = dir_.path() + "\\copy.txt";
    enum Op { kWrite, kRead, kFlush, kSetLength, kCopy, kMove };
    // The CFile cause thrown, or the last error of a failed kernel call; -1
    // when the data came out wrong.
    auto run = [&](Op op) -> int {
        if (op == kCopy || op == kMove) {
            dir_.Write("file.txt", data);
            BOOL ok = op == kCopy
                          ? CopyFileA(win_.c_str(), copy.c_str(), FALSE)
                          : MoveFileExA(win_.c_str(), copy.c_str(), MOVEFILE_REPLACE_EXISTING);
            bool same = dir_.Read(op == kCopy || ok ? "copy.txt" : "file.txt") == data;
            return ok ? (same ? 0 : -1) : int(GetLastError());
        }
        if (op == kRead)
            dir_.Write("file.txt", data);
        return Throws([&] {
            CFile f;
            ASSERT_TRUE(f.Open(win_.c_str(), op == kRead ? R : New | W));
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
            if (op == kRead || dir_.Read("file.txt") != (op == kWrite ? data : ""))
                throw new CFileException(-1);
        });
    };
    const struct {
        zrtest::SysFault fault;
        Op op;
        int expected;  // cause or last error; 0 for none
    } cases[] = {{{SysCall::kWrite, ENOSPC}, kWrite, CFileException::diskFull},
                 {{SysCall::kWrite, EINTR}, kWrite, 0},
                 {{SysCall::kWrite, 0}, kWrite, 0},
                 {{SysCall::kRead, EINTR}, kRead, 0},
                 {{SysCall::kRead, 0}, kRead, 0},
                 {{SysCall::kFdatasync, EIO}, kFlush, CFileException::hardIO},
                 {{SysCall::kFtruncate, ENOSPC}, kSetLength, CFileException::diskFull},
                 {{SysCall::kWrite, ENOSPC}, kCopy, ERROR_DISK_FULL},
                 {{SysCall::kWrite, 0}, kCopy, 0},
                 {{SysCall::kRename, EACCES}, kMove, ERROR_ACCESS_DENIED}};
    for (const auto& c : cases) {
        std::filesystem::remove(path_);
        std::filesystem::remove(dir_.File("copy.txt"));
        zrtest::SysOverride fault(c.fault);
        EXPECT_EQ(run(c.op), c.expected) << &c - cases;
        EXPECT_EQ(fault.Faults(), 1) << &c - cases;
        // A failed copy leaves no partial copy.
        EXPECT_FALSE(c.op == kCopy && c.expected && dir_.Exists("copy.txt")) << &c - cases;
    }
}

TEST_F(Files, SharingBetweenOpens) {
    const struct {
        UINT first, second;
        bool opens;
    } cases[] = {{W | DenyW, W | DenyNone, false},
                 {W | DenyW, RW | DenyNone, false},
                 {W | DenyW, R | DenyNone, true},
                 {R | DenyW, R | DenyW, true},
                 {R | DenyW, W | DenyNone, false},
                 {R | DenyNone, W | DenyNone, true},
                 {R | DenyNone, W | DenyW, true},
                 {W | DenyNone, R | DenyW, false},
                 {W | Excl, R | DenyNone, false},
                 {R | DenyNone, R | Excl, false},
                 {W | DenyW, W | New | DenyNone, false},
                 // Read and write access held together, as the identity record file is.
                 {RW | DenyW, R | DenyNone, true},
                 {RW | DenyW, R | DenyW, false},
                 {RW | DenyW, RW | DenyW, false},
                 {R | DenyNone, RW | DenyW, true},
                 {RW | Excl, R | DenyNone, false},
                 // Denying reads alone leaves writers in.
                 {W | DenyR, W | DenyNone, true},
                 {W | DenyR, R | DenyNone, false}};
    for (const auto& c : cases) {
        dir_.Write("file.txt", "content");
        CFile first, second, third;
        ASSERT_TRUE(first.Open(win_.c_str(), c.first));
        CFileException e;
        EXPECT_EQ(c.opens, second.Open(win_.c_str(), c.second, &e) != FALSE) << &c - cases;
        EXPECT_TRUE(c.opens || (e.m_cause == CFileException::sharingViolation &&
                                e.m_lOsError == ERROR_SHARING_VIOLATION));
        second.Abort();
        first.Close();
        EXPECT_EQ("content", dir_.Read("file.txt")) << "a refused open must not truncate";
        EXPECT_TRUE(third.Open(win_.c_str(), c.second)) << "the first close releases";
    }
}

}  // namespace
