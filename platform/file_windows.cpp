// CFile and CStdioFile on Windows, over CreateFileA and its companions.
//
// The share modes are the system's: shareDenyWrite lets others read
// (FILE_SHARE_READ), shareDenyRead lets others write, shareDenyNone lets them
// do both, and shareCompat is shareExclusive, as in the framework. A text
// file writes each "\n" as CR LF, and ReadString takes a CR LF or a lone LF as
// a line end. Failures carry the cause mapped from GetLastError().
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/afx.h"

namespace {

struct FileImpl {
    HANDLE handle;
    UINT access;  // CFile::modeRead, modeWrite or modeReadWrite
};

FileImpl* Impl(void* p) {
    return static_cast<FileImpl*>(p);
}

int CauseOf(DWORD err) {
    switch (err) {
        case ERROR_SUCCESS:
            return CFileException::none;
        case ERROR_FILE_NOT_FOUND:
            return CFileException::fileNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_DIRECTORY:
            return CFileException::badPath;
        case ERROR_TOO_MANY_OPEN_FILES:
            return CFileException::tooManyOpenFiles;
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_ACCESS:
        case ERROR_WRITE_PROTECT:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return CFileException::accessDenied;
        case ERROR_INVALID_HANDLE:
            return CFileException::invalidFile;
        case ERROR_CURRENT_DIRECTORY:
            return CFileException::removeCurrentDir;
        case ERROR_CANNOT_MAKE:
            return CFileException::directoryFull;
        case ERROR_SEEK:
        case ERROR_NEGATIVE_SEEK:
            return CFileException::badSeek;
        case ERROR_WRITE_FAULT:
        case ERROR_READ_FAULT:
        case ERROR_GEN_FAILURE:
        case ERROR_CRC:
        case ERROR_SECTOR_NOT_FOUND:
        case ERROR_NOT_READY:
        case ERROR_IO_DEVICE:
            return CFileException::hardIO;
        case ERROR_SHARING_VIOLATION:
            return CFileException::sharingViolation;
        case ERROR_LOCK_VIOLATION:
            return CFileException::lockViolation;
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_DISK_FULL:
        case ERROR_FILE_TOO_LARGE:
            return CFileException::diskFull;
        case ERROR_HANDLE_EOF:
            return CFileException::endOfFile;
        default:
            return CFileException::genericException;
    }
}

[[noreturn]] void ThrowError(DWORD err, const CString& name) {
    AfxThrowFileException(CauseOf(err), static_cast<LONG>(err), name);
}

[[noreturn]] void ThrowLastError(const CString& name) {
    ThrowError(GetLastError(), name);
}

FileImpl* CheckOpen(void* impl, const CString& name) {
    if (!impl)
        ThrowError(ERROR_INVALID_HANDLE, name);
    return Impl(impl);
}

DWORD ShareModeOf(UINT flags) {
    switch (flags & 0x70) {
        case CFile::shareDenyWrite:
            return FILE_SHARE_READ;
        case CFile::shareDenyRead:
            return FILE_SHARE_WRITE;
        case CFile::shareDenyNone:
            return FILE_SHARE_READ | FILE_SHARE_WRITE;
        default:  // shareCompat, shareExclusive
            return 0;
    }
}

}  // namespace

// ---- CFile ----------------------------------------------------------------------

CFile::CFile() : m_pImpl(nullptr), m_bText(FALSE) {}

CFile::~CFile() {
    Abort();
}

BOOL CFile::Open(const char* lpszFileName, UINT nOpenFlags, CFileException* pError) {
    auto fail = [&](DWORD err, int cause) {
        if (pError) {
            pError->m_cause = cause ? cause : CauseOf(err);
            pError->m_lOsError = static_cast<LONG>(err);
            pError->m_strFileName = lpszFileName;
        }
        return FALSE;
    };
    if (m_pImpl)
        return fail(ERROR_BUSY, CFileException::genericException);
    if (!lpszFileName || !*lpszFileName)
        return fail(ERROR_PATH_NOT_FOUND, CFileException::badPath);
    const UINT access = nOpenFlags & 3;
    if (access == 3)
        return fail(ERROR_INVALID_PARAMETER, CFileException::genericException);
    m_strFileName = lpszFileName;
    m_bText = (nOpenFlags & typeText) != 0;

    DWORD desired = access == modeRead    ? GENERIC_READ
                    : access == modeWrite ? GENERIC_WRITE
                                          : GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if (nOpenFlags & modeCreate)
        disposition = (nOpenFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = (nOpenFlags & modeNoInherit) ? FALSE : TRUE;
    HANDLE h = CreateFileA(lpszFileName, desired, ShareModeOf(nOpenFlags), &sa, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(GetLastError(), 0);
    m_pImpl = new FileImpl{h, access};
    return TRUE;
}

// Reads until nCount bytes or the end of the file.
UINT CFile::Read(void* lpBuf, UINT nCount) {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeWrite)
        ThrowError(ERROR_ACCESS_DENIED, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        DWORD n = 0;
        if (!ReadFile(f->handle, static_cast<char*>(lpBuf) + done, nCount - done, &n, nullptr)) {
            DWORD err = GetLastError();
            if (err == ERROR_HANDLE_EOF || err == ERROR_BROKEN_PIPE)
                break;
            ThrowError(err, m_strFileName);
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

// Writes every byte or throws; a short write is retried and its cause reported.
void CFile::Write(const void* lpBuf, UINT nCount) {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeRead)
        ThrowError(ERROR_ACCESS_DENIED, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        DWORD n = 0;
        if (!WriteFile(f->handle, static_cast<const char*>(lpBuf) + done, nCount - done, &n,
                       nullptr))
            ThrowLastError(m_strFileName);
        if (n == 0)
            ThrowError(ERROR_DISK_FULL, m_strFileName);
        done += n;
    }
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
    HANDLE h = CheckOpen(m_pImpl, m_strFileName)->handle;
    static const DWORD kMethods[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    if (nFrom > end) {
        AfxThrowFileException(CFileException::badSeek, static_cast<LONG>(ERROR_INVALID_PARAMETER),
                              m_strFileName);
    }
    LARGE_INTEGER distance;
    distance.QuadPart = lOff;
    LARGE_INTEGER pos;
    if (!SetFilePointerEx(h, distance, &pos, kMethods[nFrom])) {
        AfxThrowFileException(CFileException::badSeek, static_cast<LONG>(GetLastError()),
                              m_strFileName);
    }
    return static_cast<ULONGLONG>(pos.QuadPart);
}

ULONGLONG CFile::GetLength() const {
    HANDLE h = CheckOpen(m_pImpl, m_strFileName)->handle;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size))
        ThrowLastError(m_strFileName);
    return static_cast<ULONGLONG>(size.QuadPart);
}

// Moves the position to dwNewLen, then ends the file there. A file opened for
// reading only is refused before the system is asked.
void CFile::SetLength(ULONGLONG dwNewLen) {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeRead)
        ThrowError(ERROR_ACCESS_DENIED, m_strFileName);
    Seek(static_cast<LONGLONG>(dwNewLen), begin);
    if (!SetEndOfFile(f->handle))
        ThrowLastError(m_strFileName);
}

// Writes the file's data through to the device. A file opened for reading only
// has nothing to write.
void CFile::Flush() {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeRead)
        return;
    if (!FlushFileBuffers(f->handle))
        ThrowLastError(m_strFileName);
}

void CFile::Close() {
    FileImpl* f = Impl(m_pImpl);
    if (!f)
        return;
    m_pImpl = nullptr;
    BOOL closed = CloseHandle(f->handle);
    delete f;
    if (!closed)
        ThrowLastError(m_strFileName);
}

void CFile::Abort() {
    FileImpl* f = Impl(m_pImpl);
    if (!f)
        return;
    m_pImpl = nullptr;
    CloseHandle(f->handle);
    delete f;
}

BOOL CFile::IsOpen() const {
    return m_pImpl != nullptr;
}

// ---- CStdioFile -----------------------------------------------------------------
// ReadString reads ahead into m_ReadBuffer; every other operation first gives
// back the bytes read ahead (moving the file pointer back), so the file
// position seen by the caller is always the one ReadString left. Read and
// Seek work on the bytes as stored; in text mode Write stores "\n" as CR LF.

namespace {
constexpr size_t kReadChunk = 16384;
}

CStdioFile::CStdioFile() : m_ReadPos(0), m_bAtEof(false) {}

CStdioFile::~CStdioFile() = default;

BOOL CStdioFile::Open(const char* lpszFileName, UINT nOpenFlags, CFileException* pError) {
    m_ReadBuffer.clear();
    m_ReadPos = 0;
    m_bAtEof = false;
    if (!(nOpenFlags & typeBinary))
        nOpenFlags |= typeText;
    return CFile::Open(lpszFileName, nOpenFlags, pError);
}

BOOL CStdioFile::ReadString(CString& rString) {
    CheckOpen(m_pImpl, m_strFileName);
    size_t scanFrom = m_ReadPos;
    for (;;) {
        size_t nl = m_ReadBuffer.find('\n', scanFrom);
        if (nl != std::string::npos) {
            size_t lineEnd = nl;
            if (m_bText && lineEnd > m_ReadPos && m_ReadBuffer[lineEnd - 1] == '\r')
                --lineEnd;
            rString =
                CString(m_ReadBuffer.data() + m_ReadPos, static_cast<int>(lineEnd - m_ReadPos));
            m_ReadPos = nl + 1;
            if (m_ReadPos == m_ReadBuffer.size()) {
                m_ReadBuffer.clear();
                m_ReadPos = 0;
            }
            return TRUE;
        }
        if (m_bAtEof)
            break;
        m_ReadBuffer.erase(0, m_ReadPos);
        m_ReadPos = 0;
        scanFrom = m_ReadBuffer.size();
        m_ReadBuffer.resize(scanFrom + kReadChunk);
        UINT n;
        try {
            n = CFile::Read(&m_ReadBuffer[scanFrom], kReadChunk);
        } catch (...) {
            m_ReadBuffer.resize(scanFrom);
            throw;
        }
        m_ReadBuffer.resize(scanFrom + n);
        if (n == 0)
            m_bAtEof = true;
    }
    if (m_ReadPos < m_ReadBuffer.size()) {  // the last line has no line end
        rString = CString(m_ReadBuffer.data() + m_ReadPos,
                          static_cast<int>(m_ReadBuffer.size() - m_ReadPos));
        m_ReadBuffer.clear();
        m_ReadPos = 0;
        return TRUE;
    }
    rString.Empty();
    return FALSE;
}

void CStdioFile::WriteString(const char* lpsz) {
    if (lpsz)
        Write(lpsz, static_cast<UINT>(std::strlen(lpsz)));
}

void CStdioFile::WriteString(const CString& s) {
    Write(s.GetString(), static_cast<UINT>(s.GetLength()));
}

UINT CStdioFile::Read(void* lpBuf, UINT nCount) {
    CheckOpen(m_pImpl, m_strFileName);
    size_t buffered = m_ReadBuffer.size() - m_ReadPos;
    UINT fromBuffer = static_cast<UINT>(std::min<size_t>(buffered, nCount));
    std::memcpy(lpBuf, m_ReadBuffer.data() + m_ReadPos, fromBuffer);
    m_ReadPos += fromBuffer;
    if (m_ReadPos == m_ReadBuffer.size()) {
        m_ReadBuffer.clear();
        m_ReadPos = 0;
    }
    if (fromBuffer == nCount)
        return nCount;
    return fromBuffer + CFile::Read(static_cast<char*>(lpBuf) + fromBuffer, nCount - fromBuffer);
}

void CStdioFile::Write(const void* lpBuf, UINT nCount) {
    CheckOpen(m_pImpl, m_strFileName);
    if (m_ReadPos < m_ReadBuffer.size())
        Seek(0, current);  // gives back the read-ahead
    m_bAtEof = false;
    const char* data = static_cast<const char*>(lpBuf);
    if (!m_bText || !std::memchr(data, '\n', nCount)) {
        CFile::Write(data, nCount);
        return;
    }
    std::string text;
    text.reserve(nCount + nCount / 8 + 1);
    for (UINT i = 0; i < nCount; ++i) {
        if (data[i] == '\n')
            text += '\r';
        text += data[i];
    }
    CFile::Write(text.data(), static_cast<UINT>(text.size()));
}

ULONGLONG CStdioFile::Seek(LONGLONG lOff, UINT nFrom) {
    CheckOpen(m_pImpl, m_strFileName);
    size_t buffered = m_ReadBuffer.size() - m_ReadPos;
    if (buffered > 0) {
        CFile::Seek(-static_cast<LONGLONG>(buffered), current);
    }
    m_ReadBuffer.clear();
    m_ReadPos = 0;
    m_bAtEof = false;
    return CFile::Seek(lOff, nFrom);
}

// Nothing is buffered for writing: the data is already the system's.
void CStdioFile::Flush() {
    CheckOpen(m_pImpl, m_strFileName);
}
