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
#include "platform/file_text.h"

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
    const DWORD deleting = (flags & CFile::shareAllowDelete) ? FILE_SHARE_DELETE : 0;
    switch (flags & 0x70) {
        case CFile::shareDenyWrite:
            return FILE_SHARE_READ | deleting;
        case CFile::shareDenyRead:
            return FILE_SHARE_WRITE | deleting;
        case CFile::shareDenyNone:
            return FILE_SHARE_READ | FILE_SHARE_WRITE | deleting;
        default:  // shareCompat, shareExclusive
            return deleting;
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
    if ((nOpenFlags & modeAppend) && access != modeRead) {
        // Append-only access: the system puts every write at the end.
        desired = (access == modeReadWrite ? GENERIC_READ : 0) | FILE_APPEND_DATA |
                  FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    }
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

// Text files end their lines in CR LF.
const bool kTextLineEndIsCrLf = true;
