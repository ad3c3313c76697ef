#include "zodaruruvizi/devices/identityrecords.h"

#include <string.h>

#include <limits>

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

// The whole record file; empty when there is none. Waits while another
// program writes it.
std::string ReadRecordFile(const CString& path, DWORD start) {
    CFile file;
    CFileException error;
    while (!file.Open(path, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary, &error)) {
        if (error.m_cause == CFileException::fileNotFound)
            return std::string();
        if (error.m_cause != CFileException::sharingViolation || !StillWaiting(start))
            AfxThrowFileException(error.m_cause, error.m_lOsError, path);
    }
    const ULONGLONG length = file.GetLength();
    if (length > std::numeric_limits<UINT>::max() / 2)
        AfxThrowFileException(CFileException::diskFull, ERROR_DISK_FULL, path);
    std::string bytes(static_cast<size_t>(length), '\0');
    bytes.resize(file.Read(&bytes[0], static_cast<UINT>(bytes.size())));
    file.Close();
    return bytes;
}

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
    temp.SetLength(0);
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
    out.reserve(stored.size() + record.size() + 2 * lineEnd.size());
    int dropped = 0;
    bool placed = record.empty();
    while (!stored.empty()) {
        const size_t nl = stored.find('\n');
        std::string_view line = stored.substr(0, nl);
        stored.remove_prefix(nl == std::string_view::npos ? stored.size() : nl + 1);
        while (!line.empty() && IsRecordSpace(line.front()))
            line.remove_prefix(1);
        while (!line.empty() && IsRecordSpace(line.back()))
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (AllFieldsUnknown(line)) {
            ++dropped;
            continue;
        }
        if (!record.empty() && line.find(serial) != std::string_view::npos) {
            line = record;
            placed = true;
        }
        out += line;
        out += lineEnd;
    }
    if (!placed) {
        out += record;
        out += lineEnd;
    }
    if (pDropped)
        *pDropped = dropped;
    return out;
}

void StoreIdentityRecord(const CString& path, std::string_view serial, std::string_view record,
                         const char* dropMessage) {
    const std::string_view lineEnd = CStdioFile::StoredLineEnd();
    const DWORD start = GetTickCount();
    CString tempPath = path + ".tmp";

    // Reading the same device again changes nothing: that is found without
    // waiting for a turn, unless a crash left a temporary file to remove.
    std::string stored = ReadRecordFile(path, start);
    int dropped = 0;
    std::string content = RewriteIdentityRecords(stored, serial, record, lineEnd, &dropped);
    if (content == stored && GetFileAttributesA(tempPath) == INVALID_FILE_ATTRIBUTES)
        return;

    CFile temp;
    TakeTurn(temp, tempPath, start);
    bool replaced = false;
    try {
        // Another writer may have replaced the file before this one's turn.
        stored = ReadRecordFile(path, start);
        content = RewriteIdentityRecords(stored, serial, record, lineEnd, &dropped);
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
