// The file calls of winapi.h on Linux: finding, attributes, deleting, copying
// and moving files, and making directories.
#include "platform/winapi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/file_sharing_posix.h"
#include "platform/posix_errors.h"
#include "platform/posix_sys.h"

using posix_errors::FailKernel;

namespace {

struct FindState {
    std::string dir;
    std::vector<std::string> names;
    size_t next = 0;
};

std::mutex g_findMutex;
std::unordered_set<FindState*> g_finds;

void ToFileTime(int64_t sec, long nsec, FILETIME* ft) {
    // 100 ns intervals since 1601-01-01.
    uint64_t t = static_cast<uint64_t>(sec + 11644473600LL) * 10000000ULL +
                 static_cast<uint64_t>(nsec / 100);
    ft->dwLowDateTime = static_cast<DWORD>(t);
    ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

// Windows marks every file it creates or writes for archiving.
DWORD Attributes(const posix_sys::FileInfo& info) {
    DWORD a = info.isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!info.writable)
        a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

// Fills the fields that a find entry and an attribute query share.
template <typename Data>
void Describe(const posix_sys::FileInfo& info, Data* data) {
    data->dwFileAttributes = Attributes(info);
    ToFileTime(info.ctimeSec, info.ctimeNsec, &data->ftCreationTime);
    ToFileTime(info.atimeSec, info.atimeNsec, &data->ftLastAccessTime);
    ToFileTime(info.mtimeSec, info.mtimeNsec, &data->ftLastWriteTime);
    data->nFileSizeHigh = info.isDir ? 0 : static_cast<DWORD>(info.size >> 32);
    data->nFileSizeLow = info.isDir ? 0 : static_cast<DWORD>(info.size);
}

// Fills data with the next entry that still exists; false when none is left.
bool NextFound(FindState* fs, WIN32_FIND_DATAA* data) {
    while (fs->next < fs->names.size()) {
        const std::string& name = fs->names[fs->next++];
        posix_sys::FileInfo info;
        std::string full = fs->dir == "/" ? "/" + name : fs->dir + "/" + name;
        if (posix_sys::StatPath(full.c_str(), &info) < 0)
            continue;
        std::memset(data, 0, sizeof *data);
        Describe(info, data);
        std::memcpy(data->cFileName, name.c_str(), name.size() + 1);
        return true;
    }
    return false;
}

}  // namespace

// Entries come in byte order of their names; "." and ".." count when the
// pattern matches them, as on Windows. "*.*" matches every name.
HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFileName || !lpFindFileData) {
        FailKernel(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = posix_errors::ToPosixPath(lpFileName);
    if (path.empty()) {
        FailKernel(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto fs = std::make_unique<FindState>();
    size_t slash = path.find_last_of('/');
    std::string pattern;
    if (slash == std::string::npos) {
        fs->dir = ".";
        pattern = path;
    } else {
        fs->dir = slash == 0 ? "/" : path.substr(0, slash);
        pattern = path.substr(slash + 1);
    }
    std::vector<std::string> names;
    int r = posix_sys::ListDirectory(fs->dir.c_str(), &names);
    if (r < 0) {
        FailKernel(r == -ENOENT || r == -ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                 : posix_errors::WindowsError(-r));
        return INVALID_HANDLE_VALUE;
    }
    if (pattern == "*.*")
        pattern = "*";
    std::string fnPattern;  // '[' is no wildcard on Windows
    for (char c : pattern) {
        if (c == '[' || c == ']')
            fnPattern += '\\';
        fnPattern += c;
    }
    std::sort(names.begin(), names.end());
    for (std::string& name : names) {
        if (!pattern.empty() && name.size() < MAX_PATH &&
            posix_sys::WildcardMatch(fnPattern.c_str(), name.c_str())) {
            fs->names.push_back(std::move(name));
        }
    }
    if (!NextFound(fs.get(), lpFindFileData)) {
        FailKernel(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lk(g_findMutex);
    g_finds.insert(fs.get());
    return fs.release();
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFindFileData)
        return FailKernel(ERROR_INVALID_PARAMETER);
    auto* fs = static_cast<FindState*>(hFindFile);
    std::lock_guard<std::mutex> lk(g_findMutex);
    if (!g_finds.count(fs))
        return FailKernel(ERROR_INVALID_HANDLE);
    if (!NextFound(fs, lpFindFileData))
        return FailKernel(ERROR_NO_MORE_FILES);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    auto* fs = static_cast<FindState*>(hFindFile);
    std::lock_guard<std::mutex> lk(g_findMutex);
    if (g_finds.erase(fs) == 0)
        return FailKernel(ERROR_INVALID_HANDLE);
    delete fs;
    return TRUE;
}

// Nothing keeps this system awake; the state is only remembered, per thread.

BOOL DeleteFileA(LPCSTR lpFileName) {
    if (!lpFileName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string path = posix_errors::ToPosixPath(lpFileName);
    int r = posix_sys::Unlink(path.c_str());
    return r < 0 ? FailKernel(posix_errors::WindowsError(-r, path)) : TRUE;
}

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    if (!lpExistingFileName || !lpNewFileName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string from = posix_errors::ToPosixPath(lpExistingFileName);
    std::string to = posix_errors::ToPosixPath(lpNewFileName);
    int r = posix_sys::CopyFile(from.c_str(), to.c_str(), bFailIfExists != FALSE);
    if (r == 0)
        return TRUE;
    if (r == -EEXIST)
        return FailKernel(ERROR_FILE_EXISTS);
    if (r == -ENOENT) {
        posix_sys::FileInfo info;
        bool fromExists = posix_sys::StatPath(from.c_str(), &info) == 0;
        return FailKernel(posix_errors::WindowsError(ENOENT, fromExists ? to : from));
    }
    return FailKernel(posix_errors::WindowsError(-r));
}

// Without MOVEFILE_REPLACE_EXISTING an existing target fails with
// ERROR_ALREADY_EXISTS; other flags are ignored. As on Windows, a source that
// a CFile holds open fails with ERROR_SHARING_VIOLATION and a target held open
// with ERROR_ACCESS_DENIED (CFile never shares deletion).
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!lpExistingFileName || !lpNewFileName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string from = posix_errors::ToPosixPath(lpExistingFileName);
    std::string to = posix_errors::ToPosixPath(lpNewFileName);
    if (file_sharing::HeldOpen(from.c_str()))
        return FailKernel(ERROR_SHARING_VIOLATION);
    if ((dwFlags & MOVEFILE_REPLACE_EXISTING) && file_sharing::HeldOpen(to.c_str()))
        return FailKernel(ERROR_ACCESS_DENIED);
    int r = posix_sys::Rename(from.c_str(), to.c_str(), (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0);
    if (r == 0 && (dwFlags & MOVEFILE_WRITE_THROUGH))
        r = posix_sys::SyncParentDirectory(to.c_str());
    if (r == 0)
        return TRUE;
    if (r == -ENOENT) {
        posix_sys::FileInfo info;
        bool fromExists = posix_sys::StatPath(from.c_str(), &info) == 0;
        return FailKernel(posix_errors::WindowsError(ENOENT, fromExists ? to : from));
    }
    return FailKernel(posix_errors::WindowsError(-r));
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    if (!lpFileName) {
        FailKernel(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string path = posix_errors::ToPosixPath(lpFileName);
    posix_sys::FileInfo info;
    int r = posix_sys::StatPath(path.c_str(), &info);
    if (r < 0) {
        FailKernel(posix_errors::WindowsError(-r, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    return Attributes(info);
}

BOOL GetFileAttributesExA(LPCSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId,
                          LPVOID lpFileInformation) {
    if (!lpFileName || !lpFileInformation || fInfoLevelId != GetFileExInfoStandard)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string path = posix_errors::ToPosixPath(lpFileName);
    posix_sys::FileInfo info;
    int r = posix_sys::StatPath(path.c_str(), &info);
    if (r < 0)
        return FailKernel(posix_errors::WindowsError(-r, path));
    Describe(info, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(lpFileInformation));
    return TRUE;
}

void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime) {
    int64_t sec = 0;
    long nsec = 0;
    posix_sys::RealTime(&sec, &nsec);
    ToFileTime(sec, nsec, lpSystemTimeAsFileTime);
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpAttributes*/) {
    if (!lpPathName)
        return FailKernel(ERROR_INVALID_PARAMETER);
    std::string path = posix_errors::ToPosixPath(lpPathName);
    int r = posix_sys::MakeDirectory(path.c_str());
    if (r == 0)
        return TRUE;
    return FailKernel(r == -ENOENT ? ERROR_PATH_NOT_FOUND : posix_errors::WindowsError(-r));
}

// A variable set to "" gives 0 with GetLastError() == ERROR_SUCCESS.
