#include "hostapi/environment.h"

#include <string.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

const char kSoftwareDirVariable[] = "GATEWAY_SOFTWARE_DIR";
const char kLogDirVariable[] = "GATEWAY_LOG_DIR";
const char kDefaultSoftwareDir[] = "gateway_software";
const char kDefaultLogDir[] = "gateway_logs";
const char kMonitorLogName[] = "gateway_monitor.log";
const unsigned kVersionScanLimit = 1024 * 1024;
const int kMaxReleaseLength = 127;

CString ReadEnvironment(const char* name) {
    char small[512];
    DWORD n = GetEnvironmentVariableA(name, small, sizeof small);
    if (n == 0)
        return CString();
    if (n < sizeof small)
        return CString(small, static_cast<int>(n));
    std::vector<char> big(n);
    DWORD m = GetEnvironmentVariableA(name, big.data(), n);
    if (m == 0 || m >= n)
        return CString();
    return CString(big.data(), static_cast<int>(m));
}

// A directory from the environment without trailing separators, or the named
// default in the directory for temporary files.
CString DirectoryFromEnvironment(const char* variable, const char* fallbackName) {
    CString dir = ReadEnvironment(variable);
    if (dir.IsEmpty()) {
        char temp[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof temp, temp);
        dir = (n > 0 && n < sizeof temp) ? CString(temp, static_cast<int>(n)) : CString();
        dir += fallbackName;
    }
    while (dir.GetLength() > 1 &&
           (dir[dir.GetLength() - 1] == '\\' || dir[dir.GetLength() - 1] == '/')) {
        dir = dir.Left(dir.GetLength() - 1);
    }
    return dir;
}

CString InSoftwareDir(const CString& name) {
    return CGatewayFileUtils::GetDefaultSoftwareLocation() + "\\" + name;
}

bool FilePresent(const CString& path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

const char* ComponentSuffix(CODETYPE codeType) {
    switch (codeType) {
        case CT_LC:
            return "lc";
        case CT_PROM:
            return "prom";
        case CT_BOOTSTRAP:
            return "bootstrap";
        case CT_CPLD:
            return "cpld";
        case CT_MAC:
            return "mac";
        case CT_R318:
            return "r318";
    }
    return nullptr;
}

CString FirmwareName(const char* family, const char* suffix, bool bShipped) {
    if (!suffix)
        return CString();
    CString name;
    name.Format("%s_%s.%s", family, suffix, bShipped ? "bin" : "load");
    return name;
}

bool IsReleaseSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The release after the marker in the file's first MiB.
bool ReadReleaseFromFile(const CString& fileName, CString& version) {
    if (fileName.IsEmpty())
        return false;
    CFile file;
    if (!file.Open(InSoftwareDir(fileName),
                   CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary)) {
        return false;
    }
    std::vector<char> data;
    UINT got = 0;
    try {
        // Sized by the file (a file may still grow while it is read: the loop
        // takes what fits).
        const ULONGLONG length = file.GetLength();
        const UINT limit =
            length < kVersionScanLimit ? static_cast<UINT>(length) : kVersionScanLimit;
        data.resize(limit);
        while (got < limit) {
            UINT n = file.Read(data.data() + got, limit - got);
            if (n == 0)
                break;
            got += n;
        }
    } catch (CFileException* e) {
        e->Delete();
        file.Abort();
        return false;
    }
    file.Abort();
    const char* const marker = GATEWAY_RELEASE_MARKER;
    const size_t markerLength = strlen(marker);
    const char* begin = data.data();
    const char* end = begin + got;
    const char* hit = std::search(begin, end, marker, marker + markerLength);
    if (hit == end)
        return false;
    const char* text = hit + markerLength;
    const char* stop = text;
    while (stop < end && stop - text < kMaxReleaseLength && *stop != '\0' && *stop != '\r' &&
           *stop != '\n') {
        ++stop;
    }
    while (text < stop && IsReleaseSpace(*text))
        ++text;
    while (stop > text && IsReleaseSpace(stop[-1]))
        --stop;
    if (stop == text)
        return false;
    version = CString(text, static_cast<int>(stop - text));
    return true;
}

// ---- sinks ----
std::mutex g_SinkMutex;  // guards the sink pointers
std::mutex g_CallMutex;  // one sink call at a time
MonitorSink g_MonitorSink = nullptr;
void* g_MonitorContext = nullptr;
ErrorSink g_ErrorSink = nullptr;
void* g_ErrorContext = nullptr;

void AppendToMonitorLog(const char* channel, const char* text) {
    CString dir;
    CSystemInfo::GetLogFilesPath(dir);
    CreateDirectoryA(dir, nullptr);
    SYSTEMTIME now;
    GetLocalTime(&now);
    CString line;
    line.Format("%04u-%02u-%02u %02u:%02u:%02u.%03u [%s] ", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, channel);
    line += text;
    line += "\n";
    CStdioFile file;
    // Appending: lines of other processes writing at the same time are kept.
    if (!file.Open(dir + "\\" + kMonitorLogName, CFile::modeCreate | CFile::modeNoTruncate |
                                                     CFile::modeWrite | CFile::modeAppend |
                                                     CFile::shareDenyNone | CFile::typeText)) {
        return;
    }
    try {
        file.WriteString(line);
        file.Close();
    } catch (CFileException* e) {
        e->Delete();
        file.Abort();
    }
}

void DefaultMonitorSink(void*, const char* channel, const char* text) {
    AppendToMonitorLog(channel, text);
}

void DefaultErrorSink(void*, const char* file, int line) {
    CString text;
    text.Format("Error at %s(%d)", file ? file : "", line);
    AppendToMonitorLog("ERROR", text);
}

}  // namespace

CGatewayFileUtils::CGatewayFileUtils() = default;
CGatewayFileUtils::~CGatewayFileUtils() = default;

CString CGatewayFileUtils::GetDefaultSoftwareLocation() {
    return DirectoryFromEnvironment(kSoftwareDirVariable, kDefaultSoftwareDir);
}

CString CGatewayFileUtils::GetTarvikFileName(CODETYPE codeType, const bool& bFlag) {
    return FirmwareName("tarvik", ComponentSuffix(codeType), bFlag);
}

CString CGatewayFileUtils::GetSollumFileName(CODETYPE codeType, const bool& bFlag) {
    if (codeType != CT_LC && codeType != CT_PROM)
        return CString();
    return FirmwareName("sollum", ComponentSuffix(codeType), bFlag);
}

bool CGatewayFileUtils::GetTarvikVersionFromFile(const CString& fileName, CString& version) {
    return ReadReleaseFromFile(fileName, version);
}

bool CGatewayFileUtils::GetSollumVersionFromFile(const CString& fileName, CString& version) {
    return ReadReleaseFromFile(fileName, version);
}

CString CGatewayFileUtils::GetHexFilename(CODETYPE codeType) {
    if (codeType == CT_MAC)
        return "tessan_cable.hex";
    if (codeType == CT_R318)
        return "r318_cable.hex";
    return CString();
}

int CGatewayFileUtils::GetActvCablePrefix(CODETYPE codeType, CString& prefix) {
    if (codeType == CT_MAC) {
        prefix = "TSN";
        return 1;
    }
    if (codeType == CT_R318) {
        prefix = "R318";
        return 1;
    }
    return 0;
}

bool CGatewayFileUtils::RenameGatewayFile(const CString& shippedName, const CString& stagedName,
                                          bool bFlag) {
    if (stagedName.IsEmpty())
        return false;
    const CString staged = InSoftwareDir(stagedName);
    if (bFlag) {
        DeleteFileA(staged);
        return !FilePresent(staged);
    }
    if (!shippedName.IsEmpty()) {
        const CString temporary = staged + ".partial";
        if (CopyFileA(InSoftwareDir(shippedName), temporary, FALSE)) {
            if (!MoveFileExA(temporary, staged, MOVEFILE_REPLACE_EXISTING))
                DeleteFileA(temporary);
        }
    }
    return FilePresent(staged);
}

CString CGatewayFileUtils::GetCustomTarvikCPLDFileName() {
    CStdioFile file;
    if (!file.Open(InSoftwareDir(GATEWAY_CUSTOM_CPLD_FILE),
                   CFile::modeRead | CFile::shareDenyNone | CFile::typeText)) {
        return CString();
    }
    CString name;
    try {
        if (!file.ReadString(name))
            name.Empty();
    } catch (CFileException* e) {
        e->Delete();
        name.Empty();
    }
    file.Abort();
    return name.Trim();
}

void CGatewayFileUtils::SetCustomTarvikCPLDFileName(const CString& name) {
    const CString path = InSoftwareDir(GATEWAY_CUSTOM_CPLD_FILE);
    CString line(name);
    line.Trim();
    if (line.IsEmpty()) {
        DeleteFileA(path);
        return;
    }
    CStdioFile file;
    if (!file.Open(
            path, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite | CFile::typeText)) {
        return;
    }
    try {
        file.WriteString(line + "\n");
        file.Close();
    } catch (CFileException* e) {
        e->Delete();
        file.Abort();
    }
}

int CSystemInfo::GetLogFilesPath(CString& path) {
    path = DirectoryFromEnvironment(kLogDirVariable, kDefaultLogDir);
    return path.GetLength();
}

int MonPrintfEx(const char* channel, const char* format, ...) {
    CString text;
    va_list args;
    va_start(args, format);
    text.FormatV(format, args);
    va_end(args);
    MonitorSink sink;
    void* context;
    {
        std::lock_guard<std::mutex> lock(g_SinkMutex);
        sink = g_MonitorSink ? g_MonitorSink : DefaultMonitorSink;
        context = g_MonitorContext;
    }
    std::lock_guard<std::mutex> call(g_CallMutex);
    sink(context, channel ? channel : "", text);
    return text.GetLength();
}

int LogError(const char* file, int line) {
    ErrorSink sink;
    void* context;
    {
        std::lock_guard<std::mutex> lock(g_SinkMutex);
        sink = g_ErrorSink ? g_ErrorSink : DefaultErrorSink;
        context = g_ErrorContext;
    }
    std::lock_guard<std::mutex> call(g_CallMutex);
    sink(context, file ? file : "", line);
    return 0;
}

void SetMonitorSink(MonitorSink sink, void* context) {
    std::lock_guard<std::mutex> lock(g_SinkMutex);
    g_MonitorSink = sink;
    g_MonitorContext = sink ? context : nullptr;
}

void WriteMonitorLog(const char* channel, const char* text) {
    DefaultMonitorSink(nullptr, channel ? channel : "", text ? text : "");
}

void WriteErrorLog(const char* file, int line) {
    DefaultErrorSink(nullptr, file, line);
}

void SetErrorSink(ErrorSink sink, void* context) {
    std::lock_guard<std::mutex> lock(g_SinkMutex);
    g_ErrorSink = sink;
    g_ErrorContext = sink ? context : nullptr;
}
