// CFile and CStdioFile on POSIX.
//
// Sharing: every open takes shared open-file-description locks on marker bytes
// far beyond any file's data (one for each of read access, write access, deny
// read, deny write), then looks for another open's lock on the opposite
// marker. Taking before looking makes two racing opens fail rather than both
// succeed. shareCompat is shareExclusive, as in the framework.
#include "platform/afx.h"
#include "platform/file_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix_errors.h"
#include "platform/file_sharing_posix.h"
#include "platform/posix_sys.h"

namespace {

struct FileImpl {
    int fd;
    UINT access;  // CFile::modeRead, modeWrite or modeReadWrite
};

FileImpl* Impl(void* p) {
    return static_cast<FileImpl*>(p);
}

constexpr int64_t kShareMarkers = INT64_C(0x7FFFFFFF00000000);
// kDenyDelete is held by every open without shareAllowDelete: such a file
// cannot be moved or replaced while open.
enum Marker { kReadAccess, kWriteAccess, kDenyRead, kDenyWrite, kDenyDelete, kMarkers };
const Marker kOpposite[] = {kDenyRead, kDenyWrite, kReadAccess, kWriteAccess};

// The cause for errno err, given the system error code it maps to.
int CauseOf(int err, DWORD windowsError) {
    switch (err) {
        case ENOENT:
            return windowsError == ERROR_PATH_NOT_FOUND ? CFileException::badPath
                                                        : CFileException::fileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return CFileException::badPath;
        case EMFILE:
        case ENFILE:
            return CFileException::tooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case EBADF:
            return CFileException::accessDenied;
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            return CFileException::diskFull;
        case EIO:
            return CFileException::hardIO;
        case EINVAL:
        case ESPIPE:
        case EOVERFLOW:
            return CFileException::badSeek;
        case EBUSY:
        case ETXTBSY:
        case EAGAIN:
            return CFileException::sharingViolation;
        default:
            return CFileException::genericException;
    }
}

[[noreturn]] void ThrowErrno(int err, const CString& name) {
    std::string path = posix_errors::ToPosixPath(name);
    const DWORD windowsError = posix_errors::WindowsError(err, path);
    AfxThrowFileException(CauseOf(err, windowsError), static_cast<LONG>(windowsError), name);
}

FileImpl* CheckOpen(void* impl, const CString& name) {
    if (!impl) {
        AfxThrowFileException(CFileException::invalidFile, static_cast<LONG>(ERROR_INVALID_HANDLE),
                              name);
    }
    return Impl(impl);
}

// Calls take(first, count) for every run of adjacent markers in the set.
template <typename Take>
int ForEachRun(unsigned set, Take take) {
    for (int m = 0; m < kMarkers;) {
        if (!(set & (1u << m))) {
            ++m;
            continue;
        }
        int end = m;
        while (end < kMarkers && (set & (1u << end)))
            ++end;
        int r = take(m, end - m);
        if (r != 0)
            return r;
        m = end;
    }
    return 0;
}

// 0 when the open may proceed; -EBUSY when another open's sharing excludes it.
// Adjacent markers are locked, and looked at, in one call.
int ClaimSharing(int fd, UINT flags) {
    const UINT access = flags & 3;
    UINT share = flags & 0x70;
    if (share == CFile::shareCompat)
        share = CFile::shareExclusive;
    unsigned own = 0;
    if (access != CFile::modeWrite)
        own |= 1u << kReadAccess;
    if (access != CFile::modeRead)
        own |= 1u << kWriteAccess;
    if (share == CFile::shareExclusive || share == CFile::shareDenyRead)
        own |= 1u << kDenyRead;
    if (share == CFile::shareExclusive || share == CFile::shareDenyWrite)
        own |= 1u << kDenyWrite;
    const unsigned sharing = own;
    if (!(flags & CFile::shareAllowDelete))
        own |= 1u << kDenyDelete;
    unsigned opposite = 0;
    for (int m = 0; m < 4; ++m) {
        if (sharing & (1u << m))
            opposite |= 1u << kOpposite[m];
    }
    int r = ForEachRun(own, [fd](int first, int count) {
        return posix_sys::SharedLock(fd, kShareMarkers + first, count);
    });
    if (r == -EBADF)
        return 0;  // opened write-only: cannot take part in sharing
    if (r < 0)
        return r;
    r = ForEachRun(opposite, [fd](int first, int count) {
        return posix_sys::FindConflict(fd, kShareMarkers + first, count);
    });
    if (r != 0)
        return r > 0 ? -EBUSY : r;
    return 0;
}

}  // namespace

int file_sharing::HeldOpen(const char* path) {
    const int fd = posix_sys::OpenFile(path, posix_sys::kOpenRead);
    if (fd < 0)
        return 0;
    const int r = posix_sys::FindConflict(fd, kShareMarkers + kDenyDelete, 1);
    posix_sys::Close(fd);
    return r > 0 ? 1 : 0;
}

// ---- CFile ----------------------------------------------------------------------

CFile::CFile() : m_pImpl(nullptr), m_bText(FALSE) {}

CFile::~CFile() {
    Abort();
}

BOOL CFile::Open(const char* lpszFileName, UINT nOpenFlags, CFileException* pError) {
    auto fail = [&](int err, int cause) {
        if (pError) {
            std::string path = posix_errors::ToPosixPath(lpszFileName);
            const DWORD windowsError = posix_errors::WindowsError(err, path);
            pError->m_cause = cause ? cause : CauseOf(err, windowsError);
            pError->m_lOsError = static_cast<LONG>(windowsError);
            pError->m_strFileName = lpszFileName;
        }
        return FALSE;
    };
    if (m_pImpl)
        return fail(EBUSY, CFileException::genericException);
    if (!lpszFileName || !*lpszFileName)
        return fail(ENOENT, CFileException::badPath);
    const UINT access = nOpenFlags & 3;
    if (access == 3)
        return fail(EINVAL, CFileException::genericException);
    m_strFileName = lpszFileName;
    m_bText = (nOpenFlags & typeText) != 0;
    std::string path = posix_errors::ToPosixPath(lpszFileName);

    // A writer opens for reading too, to take shared locks; Read still refuses.
    int sysFlags = access == modeRead ? posix_sys::kOpenRead : posix_sys::kOpenReadWrite;
    if (nOpenFlags & modeCreate)
        sysFlags |= posix_sys::kOpenCreate;
    if (nOpenFlags & modeAppend)
        sysFlags |= posix_sys::kOpenAppend;
    int fd, r;
    posix_sys::FileInfo info;
    for (int attempt = 0;; ++attempt) {
        fd = posix_sys::OpenFile(path.c_str(), sysFlags);
        if (fd == -EACCES && access == modeWrite) {
            fd = posix_sys::OpenFile(path.c_str(), (sysFlags & ~3) | posix_sys::kOpenWrite);
        }
        if (fd < 0)
            return fail(-fd, 0);
        r = posix_sys::StatFd(fd, &info);
        if (r == 0)
            r = ClaimSharing(fd, nOpenFlags);
        // A file being created may have been renamed or removed by its
        // holder between the open and the sharing claim: the path must still
        // name the file claimed, or the open starts again.
        posix_sys::FileInfo now;
        if (r != 0 || !(nOpenFlags & modeCreate) ||
            (posix_sys::StatPath(path.c_str(), &now) == 0 && now.dev == info.dev &&
             now.ino == info.ino)) {
            break;
        }
        if (attempt == 8) {
            r = -EBUSY;
            break;
        }
        posix_sys::Close(fd);
    }
    // Truncate only once sharing allows this open, as Windows does; an empty
    // file is left alone (a truncation to nothing makes some file systems
    // flush the file when it is closed).
    if (r == 0 && (nOpenFlags & modeCreate) && !(nOpenFlags & modeNoTruncate) && info.size > 0) {
        r = posix_sys::Truncate(fd, 0);
    }
    if (r < 0) {
        posix_sys::Close(fd);
        return fail(-r, r == -EBUSY ? CFileException::sharingViolation : 0);
    }
    m_pImpl = new FileImpl{fd, access};
    return TRUE;
}

// Reads until nCount bytes or the end of the file.
UINT CFile::Read(void* lpBuf, UINT nCount) {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeWrite)
        ThrowErrno(EACCES, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        long n = posix_sys::Read(f->fd, static_cast<char*>(lpBuf) + done, nCount - done);
        if (n < 0)
            ThrowErrno(static_cast<int>(-n), m_strFileName);
        if (n == 0)
            break;
        done += static_cast<UINT>(n);
    }
    return done;
}

// Writes every byte or throws; a short write is retried and its cause reported.
void CFile::Write(const void* lpBuf, UINT nCount) {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeRead)
        ThrowErrno(EACCES, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        long n = posix_sys::Write(f->fd, static_cast<const char*>(lpBuf) + done, nCount - done);
        if (n < 0)
            ThrowErrno(static_cast<int>(-n), m_strFileName);
        if (n == 0)
            ThrowErrno(ENOSPC, m_strFileName);
        done += static_cast<UINT>(n);
    }
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (nFrom > end)
        ThrowErrno(EINVAL, m_strFileName);
    int64_t pos = posix_sys::Seek(f->fd, lOff, static_cast<int>(nFrom));
    if (pos < 0) {
        AfxThrowFileException(CFileException::badSeek,
                              static_cast<LONG>(posix_errors::WindowsError(static_cast<int>(-pos))),
                              m_strFileName);
    }
    return static_cast<ULONGLONG>(pos);
}

ULONGLONG CFile::GetLength() const {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    posix_sys::FileInfo info;
    int r = posix_sys::StatFd(f->fd, &info);
    if (r < 0)
        ThrowErrno(-r, m_strFileName);
    return info.size;
}

// Moves the position to dwNewLen, then ends the file there.
void CFile::SetLength(ULONGLONG dwNewLen) {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeRead)
        ThrowErrno(EACCES, m_strFileName);
    Seek(static_cast<LONGLONG>(dwNewLen), begin);
    int r = posix_sys::Truncate(f->fd, static_cast<int64_t>(dwNewLen));
    if (r < 0)
        ThrowErrno(-r, m_strFileName);
}

// Writes the file's data through to the device.
void CFile::Flush() {
    FileImpl* f = CheckOpen(m_pImpl, m_strFileName);
    if (f->access == modeRead)
        return;
    int r = posix_sys::SyncData(f->fd);
    if (r < 0 && r != -EINVAL)
        ThrowErrno(-r, m_strFileName);
}

void CFile::Close() {
    FileImpl* f = Impl(m_pImpl);
    if (!f)
        return;
    m_pImpl = nullptr;
    int r = posix_sys::Close(f->fd);
    delete f;
    if (r < 0)
        ThrowErrno(-r, m_strFileName);
}

void CFile::Abort() {
    FileImpl* f = Impl(m_pImpl);
    if (!f)
        return;
    m_pImpl = nullptr;
    posix_sys::Close(f->fd);
    delete f;
}

BOOL CFile::IsOpen() const {
    return m_pImpl != nullptr;
}

// Text mode is the identity here: lines end in "\n" on disk.
const bool kTextLineEndIsCrLf = false;
