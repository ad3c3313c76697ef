#include "zodaruruvizi/devices/identityrecords.h"

#include <string.h>

#include <limits>
#include <memory>
#include <mutex>

#include "hostapi/environment.h"

namespace {

const DWORD kRetryMs = 5;

bool IsRecordSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// True when the field, compared as a C string, is "Unknown" in any letter case.
bool IsUnknownField(std::string_view field) {
    field = field.substr(0, field.find('\0'));
    if (field.size() != 7)
        return false;
    for (size_t i = 0; i < 7; ++i) {
        char c = field[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != "unknown"[i])
            return false;
    }
    return true;
}

bool AllFieldsUnknown(std::string_view line) {
    if (line[0] != 'u' && line[0] != 'U')
        return false;  // the common case, at once
    for (;;) {
        const size_t comma = line.find(',');
        if (!IsUnknownField(line.substr(0, comma)))
            return false;
        if (comma == std::string_view::npos)
            return true;
        line.remove_prefix(comma + 1);
    }
}

// The file's cause for a system error code of a call that names no file.
int CauseOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return CFileException::fileNotFound;
        case ERROR_PATH_NOT_FOUND:
            return CFileException::badPath;
        case ERROR_ACCESS_DENIED:
            return CFileException::accessDenied;
        case ERROR_SHARING_VIOLATION:
            return CFileException::sharingViolation;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return CFileException::diskFull;
        default:
            return CFileException::genericException;
    }
}

bool StillWaiting(DWORD start) {
    if (GetTickCount() - start >= kIdentityRecordWaitMs)
        return false;
    Sleep(kRetryMs);
    return true;
}

bool IsDirectory(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The record file as last found holding this process's record already, with
// nothing to clean up: a read that finds the file described alike (size, last
// write, and creation or, on POSIX systems, status change) reads it no more.
// Only a file written two seconds or more before it was looked at is
// remembered, so that a change within the clock's granularity is never taken
// for none.
struct KnownFile {
    std::string path;
    std::string record;
    WIN32_FILE_ATTRIBUTE_DATA data;
};
std::mutex g_knownLock;
KnownFile g_known;

ULONGLONG Ticks(const FILETIME& t) {
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool DescribedAlike(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
    return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
           Ticks(a.ftLastWriteTime) == Ticks(b.ftLastWriteTime) &&
           Ticks(a.ftCreationTime) == Ticks(b.ftCreationTime);
}

bool IsKnown(const CString& path, std::string_view record, const WIN32_FILE_ATTRIBUTE_DATA& data) {
    std::lock_guard<std::mutex> lock(g_knownLock);
    return g_known.path == path.GetString() && g_known.record == record &&
           DescribedAlike(g_known.data, data);
}

void Remember(const CString& path, std::string_view record, const WIN32_FILE_ATTRIBUTE_DATA& data) {
    const ULONGLONG kSettled = 2 * 10000000ULL;  // two seconds in 100-ns ticks
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (Ticks(now) < Ticks(data.ftLastWriteTime) + kSettled ||
        Ticks(now) < Ticks(data.ftCreationTime) + kSettled) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_knownLock);
    g_known.path = path.GetString();
    g_known.record.assign(record.data(), record.size());
    g_known.data = data;
}

// A file's bytes, in memory that is kept from one rewrite to the next on the
// same thread (fresh memory costs a page fault per page) and not cleared.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
    size_t size = 0;
    std::string_view view() const { return std::string_view(data.get(), size); }
};

// Reads the whole record file into bytes; empty when there is none. Waits
// while another program writes it.
void ReadRecordFile(const CString& path, DWORD start, FileBytes& bytes) {
    bytes.size = 0;
    CFile file;
    CFileException error;
    while (!file.Open(path, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary, &error)) {
        if (error.m_cause == CFileException::fileNotFound)
            return;
        if (error.m_cause != CFileException::sharingViolation || !StillWaiting(start))
            AfxThrowFileException(error.m_cause, error.m_lOsError, path);
    }
    const ULONGLONG length = file.GetLength();
    if (length > std::numeric_limits<UINT>::max() / 2)
        AfxThrowFileException(CFileException::diskFull, ERROR_DISK_FULL, path);
    if (length >= bytes.capacity) {
        bytes.capacity = static_cast<size_t>(length) + 1;
        bytes.data.reset(new char[bytes.capacity]);
    }
    bytes.size = file.Read(bytes.data.get(), static_cast<UINT>(length));
    file.Close();
}

// What a rewrite works with, kept per thread; a buffer grown for an unusually
// large file is given back afterwards.
struct Workspace {
    FileBytes first;
    FileBytes stored;
    std::string content;
    void Trim() {
        const size_t kKept = size_t(16) << 20;
        if (first.capacity > kKept || stored.capacity > kKept || content.capacity() > kKept)
            *this = Workspace();
    }
};

// Opens the temporary file for this writer alone, waiting while another
// writer holds it. A file left there by a writer that ended is taken over.
void TakeTurn(CFile& temp, const CString& tempPath, DWORD start) {
    CFileException error;
    while (!temp.Open(tempPath,
                      CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite |
                          CFile::shareExclusive | CFile::shareAllowDelete | CFile::typeBinary,
                      &error)) {
        // Windows refuses access to a file whose removal is pending: the
        // writer before is just finishing.
        const bool held = error.m_cause == CFileException::sharingViolation ||
                          (error.m_cause == CFileException::accessDenied && !IsDirectory(tempPath));
        if (!held || !StillWaiting(start))
            AfxThrowFileException(error.m_cause, error.m_lOsError, tempPath);
    }
}

}  // namespace

std::string MakeIdentityRecord(const std::string_view (&fields)[6]) {
    std::string record;
    for (size_t i = 0; i < 6; ++i) {
        if (i)
            record += ',';
        record += fields[i];
    }
    for (char& c : record) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    }
    return record;
}

std::string RewriteIdentityRecords(std::string_view stored, std::string_view serial,
                                   std::string_view record, std::string_view lineEnd,
                                   int* pDropped) {
    std::string out;
    RewriteIdentityRecordsInto(stored, serial, record, lineEnd, pDropped, out);
    return out;
}

void RewriteIdentityRecordsInto(std::string_view stored, std::string_view serial,
                                std::string_view record, std::string_view lineEnd, int* pDropped,
                                std::string& out) {
    out.clear();
    out.reserve(stored.size() + record.size() + 2 * lineEnd.size());
    int dropped = 0;
    bool placed = record.empty();
    // The serial number is searched once over the whole text: hit is its
    // next place at or after the line being looked at.
    size_t hit = record.empty() ? std::string_view::npos : stored.find(serial);
    size_t begin = 0;
    while (begin < stored.size()) {
        size_t end = stored.find('\n', begin);
        const size_t next = end == std::string_view::npos ? stored.size() : end + 1;
        if (end == std::string_view::npos)
            end = stored.size();
        while (begin < end && IsRecordSpace(stored[begin]))
            ++begin;
        while (end > begin && IsRecordSpace(stored[end - 1]))
            --end;
        const std::string_view line = stored.substr(begin, end - begin);
        if (hit != std::string_view::npos && hit < begin)
            hit = stored.find(serial, begin);
        if (!line.empty() && AllFieldsUnknown(line)) {
            ++dropped;
        } else if (!line.empty()) {
            const bool holdsSerial = hit != std::string_view::npos && hit + serial.size() <= end;
            out += holdsSerial ? record : line;
            out += lineEnd;
            placed = placed || holdsSerial;
        }
        begin = next;
    }
    if (!placed) {
        out += record;
        out += lineEnd;
    }
    if (pDropped)
        *pDropped = dropped;
}

void StoreIdentityRecord(const CString& path, std::string_view serial, std::string_view record,
                         const char* dropMessage) {
    const std::string_view lineEnd = CStdioFile::StoredLineEnd();
    const DWORD start = GetTickCount();
    CString tempPath = path + ".tmp";

    // Reading the same device again changes nothing: that is found without
    // waiting for a turn, unless a crash left a temporary file to remove.
    WIN32_FILE_ATTRIBUTE_DATA described;
    const bool isDescribed = GetFileAttributesExA(path, GetFileExInfoStandard, &described) != FALSE;
    const bool noTemporary = GetFileAttributesA(tempPath) == INVALID_FILE_ATTRIBUTES;
    if (isDescribed && noTemporary && IsKnown(path, record, described))
        return;
    thread_local Workspace work;
    work.Trim();
    ReadRecordFile(path, start, work.first);
    int dropped = 0;
    std::string& content = work.content;
    RewriteIdentityRecordsInto(work.first.view(), serial, record, lineEnd, &dropped, content);
    if (content == work.first.view() && noTemporary) {
        if (isDescribed)
            Remember(path, record, described);
        return;
    }

    CFile temp;
    TakeTurn(temp, tempPath, start);
    bool replaced = false;
    try {
        temp.SetLength(0);  // a file left by a writer that ended
        // Another writer may have replaced the file before this one's turn.
        ReadRecordFile(path, start, work.stored);
        const std::string_view stored = work.stored.view();
        if (stored != work.first.view())
            RewriteIdentityRecordsInto(stored, serial, record, lineEnd, &dropped, content);
        for (int i = 0; i < dropped; ++i)
            MonPrintfEx("RT_COMMS_E", "%s", dropMessage);
        if (content != stored) {
            temp.Write(content.data(), static_cast<UINT>(content.size()));
            temp.Flush();
            while (
                !MoveFileExA(tempPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                const DWORD error = GetLastError();
                // A program holding the record file open may close it soon.
                const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
                if (!held || !StillWaiting(start))
                    AfxThrowFileException(CauseOf(error), static_cast<LONG>(error), path);
            }
            replaced = true;
        }
        if (!replaced)
            DeleteFileA(tempPath);  // still held: no other writer can have it
        temp.Close();
    } catch (...) {
        if (!replaced)
            DeleteFileA(tempPath);
        temp.Abort();
        throw;
    }
}
