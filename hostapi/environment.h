// The environment component: firmware file naming and versions, the log-files
// directory, the custom CPLD setting, and the diagnostic log.
//
// Locations:
//   software directory: GATEWAY_SOFTWARE_DIR, read at each call, without a
//     trailing separator; when unset, "gateway_software" in the directory for
//     temporary files.
//   log-files directory: GATEWAY_LOG_DIR, read at each call; when unset,
//     "gateway_logs" in the directory for temporary files.
// File names are joined to a directory with a backslash.
#ifndef ZODARURUVIZI_HOSTAPI_ENVIRONMENT_H
#define ZODARURUVIZI_HOSTAPI_ENVIRONMENT_H

#include "platform/afx.h"
#include "platform/export.h"
#include "zodaruruvizi/checks/codetypes.h"

// Marker that precedes the release text inside a firmware file.
#define GATEWAY_RELEASE_MARKER "@(#)RELEASE="
// File in the software directory holding the custom CPLD name (one line).
#define GATEWAY_CUSTOM_CPLD_FILE "custom_cpld.txt"

class ZODARURUVIZI_API CGatewayFileUtils {
public:
    CGatewayFileUtils();
    virtual ~CGatewayFileUtils();

    static CString GetDefaultSoftwareLocation();

    // Flag true: the shipped image "tarvik_<c>.bin"; flag false: the staged
    // image "tarvik_<c>.load" that the device takes at its next reset. <c> is
    // lc, prom, bootstrap, cpld, mac or r318. Empty for other code types.
    CString GetTarvikFileName(CODETYPE codeType, const bool& bFlag);
    // The same with "sollum_"; LC and PROM only, empty for other code types.
    CString GetSollumFileName(CODETYPE codeType, const bool& bFlag);

    // The release recorded in the named file of the software directory: the
    // text after the first GATEWAY_RELEASE_MARKER in its first MiB, up to the
    // first zero byte, CR or LF or 127 bytes, white space trimmed. False (and
    // version untouched) when the file cannot be read, has no marker, or the
    // text is empty.
    bool GetTarvikVersionFromFile(const CString& fileName, CString& version);
    bool GetSollumVersionFromFile(const CString& fileName, CString& version);

    // Active-cable hex files: "tessan_cable.hex" (CT_MAC), "r318_cable.hex"
    // (CT_R318); empty for other code types.
    CString GetHexFilename(CODETYPE codeType);
    // "TSN" (CT_MAC) or "R318" (CT_R318) with result 1; 0 and prefix untouched
    // for other code types.
    int GetActvCablePrefix(CODETYPE codeType, CString& prefix);

    // Flag false stages: the staged name becomes a copy of the shipped image
    // (written under a temporary name and renamed into place; the shipped image
    // is kept). Flag true withdraws: the staged file is removed. Returns true
    // when the staged file is then present (flag false) or absent (flag true).
    bool RenameGatewayFile(const CString& shippedName, const CString& stagedName, bool bFlag);

    // The custom CPLD name, empty when none is set. Setting an empty name
    // removes the setting.
    CString GetCustomTarvikCPLDFileName();
    void SetCustomTarvikCPLDFileName(const CString& name);
};

class ZODARURUVIZI_API CSystemInfo {
public:
    // Fills the log-files directory (no trailing separator); returns its length.
    static int GetLogFilesPath(CString& path);
};

// Formats a diagnostic line with printf rules and hands it to the monitor sink
// with its channel ("RT_COMMS_I", "RT_COMMS_E"). Returns the text's length.
ZODARURUVIZI_API int MonPrintfEx(const char* channel, const char* format, ...)
    ZODARURUVIZI_PRINTF(2, 3);
// Records an internal inconsistency at a source location through the error sink.
ZODARURUVIZI_API int LogError(const char* file, int line);

// Sinks. The default sinks append timestamped lines to "gateway_monitor.log" in
// the log-files directory. A sink may be called from any thread that uses the
// module (the update worker included), never from two at once. Passing null
// restores the default. Any thread may install a sink.
typedef void (*MonitorSink)(void* context, const char* channel, const char* text);
ZODARURUVIZI_API void SetMonitorSink(MonitorSink sink, void* context);
typedef void (*ErrorSink)(void* context, const char* file, int line);
ZODARURUVIZI_API void SetErrorSink(ErrorSink sink, void* context);
// What the default sinks do: append the line to "gateway_monitor.log". For an
// installed sink that keeps the log as it is without one.
ZODARURUVIZI_API void WriteMonitorLog(const char* channel, const char* text);
ZODARURUVIZI_API void WriteErrorLog(const char* file, int line);

#endif
