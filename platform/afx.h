// The application-framework classes the module is written against: CString,
// CObject, CException and CFileException, CFile and CStdioFile, and worker
// threads. The same implementation serves every system.
#ifndef ZODARURUVIZI_PLATFORM_AFX_H
#define ZODARURUVIZI_PLATFORM_AFX_H

#include <stdarg.h>
#include <string>

#include "platform/export.h"
#include "platform/winapi.h"

// ---- CString --------------------------------------------------------------
// A single-byte text. Positions and counts out of range are clamped, as the
// framework does; no operation reads or writes outside the text. A CString may
// hold zero bytes; conversion to const char* then ends at the first of them.
class ZODARURUVIZI_API CString {
public:
    CString() = default;
    CString(const char* psz);  // null gives an empty text
    CString(const char* pch, int nLength);
    CString(char ch, int nRepeat = 1);
    CString(const std::string& s) : m_str(s) {}
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(const char* psz);
    CString& operator=(char ch);

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    const char* GetString() const { return m_str.c_str(); }
    operator const char*() const { return m_str.c_str(); }
    const std::string& str() const { return m_str; }
    char GetAt(int nIndex) const;  // 0 outside the text
    char operator[](int nIndex) const { return GetAt(nIndex); }
    void SetAt(int nIndex, char ch);  // ignored outside the text

    // Formats with the C library's printf rules. A format that fails to expand
    // leaves an empty text.
    void Format(const char* pszFormat, ...) ZODARURUVIZI_PRINTF(2, 3);
    void FormatV(const char* pszFormat, va_list args);
    void AppendFormat(const char* pszFormat, ...) ZODARURUVIZI_PRINTF(2, 3);

    // White space is ' ', '\t', '\n', '\v', '\f' and '\r'.
    CString& Trim();
    CString& TrimLeft();
    CString& TrimRight();
    CString& Trim(char chTarget);
    CString& TrimLeft(char chTarget);
    CString& TrimRight(char chTarget);

    // -1 when not found or when iStart lies beyond the text.
    int Find(const char* pszSub, int iStart = 0) const;
    int Find(char ch, int iStart = 0) const;
    int ReverseFind(char ch) const;
    int FindOneOf(const char* pszCharSet) const;

    CString Left(int nCount) const;
    CString Mid(int iFirst) const;
    CString Mid(int iFirst, int nCount) const;
    CString Right(int nCount) const;
    // Inserts at iIndex (clamped to the text); returns the new length.
    int Insert(int iIndex, const char* psz);
    int Insert(int iIndex, char ch);
    int Delete(int iIndex, int nCount = 1);
    int Replace(const char* pszOld, const char* pszNew);
    int Replace(char chOld, char chNew);
    int Remove(char ch);
    CString& MakeUpper();
    CString& MakeLower();

    // Byte-wise comparison: <0, 0 or >0.
    int Compare(const char* psz) const;
    // Comparison ignoring the case of ASCII letters.
    int CompareNoCase(const char* psz) const;

    // Direct access to a buffer of at least nMinBufLength bytes (plus a zero);
    // ReleaseBuffer(-1) takes the text up to the first zero byte.
    char* GetBuffer(int nMinBufLength);
    void ReleaseBuffer(int nNewLength = -1);

    CString& operator+=(const CString& s);
    CString& operator+=(const char* psz);
    CString& operator+=(char ch);

    friend ZODARURUVIZI_API CString operator+(const CString& a, const CString& b);
    friend ZODARURUVIZI_API CString operator+(const CString& a, const char* b);
    friend ZODARURUVIZI_API CString operator+(const char* a, const CString& b);
    friend ZODARURUVIZI_API CString operator+(const CString& a, char b);

private:
    std::string m_str;
};

ZODARURUVIZI_API bool operator==(const CString& a, const CString& b);
ZODARURUVIZI_API bool operator==(const CString& a, const char* b);
ZODARURUVIZI_API bool operator==(const char* a, const CString& b);
ZODARURUVIZI_API bool operator!=(const CString& a, const CString& b);
ZODARURUVIZI_API bool operator!=(const CString& a, const char* b);
ZODARURUVIZI_API bool operator!=(const char* a, const CString& b);
ZODARURUVIZI_API bool operator<(const CString& a, const CString& b);

// ---- CObject --------------------------------------------------------------
class CArchive;
class CDumpContext;
class CObject;

struct ZODARURUVIZI_API CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    const CRuntimeClass* m_pBaseClass;
};

// The framework's root class. Virtual table order: GetRuntimeClass, destructor,
// Serialize, AssertValid, Dump.
class ZODARURUVIZI_API CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject();
    virtual void Serialize(CArchive& ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext& dc) const;

    static const CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

// ---- Exceptions -----------------------------------------------------------
// Framework exceptions are thrown by pointer; whoever catches one calls
// Delete() on it.
class ZODARURUVIZI_API CException : public CObject {
public:
    CException() = default;
    ~CException() override;
    virtual void Delete();
    // Copies a description into the buffer (always zero-terminated when
    // nMaxError > 0); false when there is none.
    virtual BOOL GetErrorMessage(char* lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr);
};

class ZODARURUVIZI_API CFileException : public CException {
public:
    enum {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };
    explicit CFileException(int cause = none, LONG lOsError = -1, const char* fileName = nullptr);
    ~CFileException() override;
    BOOL GetErrorMessage(char* lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) override;

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;
};

// Throws new CFileException(cause, osError, fileName).
[[noreturn]] ZODARURUVIZI_API void AfxThrowFileException(int cause, LONG lOsError = -1,
                                                         const char* fileName = nullptr);

// ---- Files ----------------------------------------------------------------
// A binary file. Open reports failure by its result (and fills *pError when
// given); every other operation throws CFileException* on failure. A file
// opened with shareDenyWrite keeps other openers from writing it while open
// (on systems without mandatory sharing, other openers through this class).
class ZODARURUVIZI_API CFile : public CObject {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        modeAppend = 0x0008,  // every write goes to the end, wherever other writers left it
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        shareAllowDelete = 0x0100,  // others may rename or remove the file while open
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000
    };
    enum SeekPosition { begin = 0x0, current = 0x1, end = 0x2 };

    CFile();
    ~CFile() override;  // closes without throwing
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    virtual BOOL Open(const char* lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
    // Reads nCount bytes; fewer only when the file ends first.
    virtual UINT Read(void* lpBuf, UINT nCount);
    virtual void Write(const void* lpBuf, UINT nCount);
    virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
    void SeekToBegin() { Seek(0, begin); }
    ULONGLONG SeekToEnd() { return Seek(0, end); }
    virtual ULONGLONG GetLength() const;
    virtual void SetLength(ULONGLONG dwNewLen);
    virtual void Flush();
    virtual void Close();
    virtual void Abort();  // closes, ignoring failures
    BOOL IsOpen() const;
    const CString& GetFilePath() const { return m_strFileName; }

protected:
    void* m_pImpl;  // system file object
    CString m_strFileName;
    BOOL m_bText;
};

// A text file: lines end in "\n", written as the system's line end (CR LF on
// Windows) and read back without it.
class ZODARURUVIZI_API CStdioFile : public CFile {
public:
    CStdioFile();
    ~CStdioFile() override;
    BOOL Open(const char* lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr) override;
    // Reads the next line without its line end; false at the end of the file.
    virtual BOOL ReadString(CString& rString);
    virtual void WriteString(const char* lpsz);
    // Writes every byte of the text, zero bytes included.
    void WriteString(const CString& s);
    UINT Read(void* lpBuf, UINT nCount) override;
    void Write(const void* lpBuf, UINT nCount) override;
    ULONGLONG Seek(LONGLONG lOff, UINT nFrom) override;
    void Flush() override;

    // The bytes a text-mode write stores for "\n": "\r\n" on Windows, "\n"
    // elsewhere.
    static const char* StoredLineEnd();

private:
    void ThrowIfClosed() const;  // CFileException* (invalidFile) when not open

    std::string m_ReadBuffer;  // bytes read ahead of ReadString's position
    size_t m_ReadPos;
    bool m_bAtEof;
};

// ---- Worker threads ---------------------------------------------------------
typedef UINT (*AFX_THREADPROC)(LPVOID);
#ifndef THREAD_PRIORITY_NORMAL  // the system headers may have them
#define THREAD_PRIORITY_NORMAL 0
#endif
#ifndef CREATE_SUSPENDED
#define CREATE_SUSPENDED 0x00000004
#endif

class ZODARURUVIZI_API CWinThread : public CObject {
public:
    CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam);
    ~CWinThread() override;
    DWORD ResumeThread();
    DWORD m_nThreadID;
    BOOL m_bAutoDelete;

private:
    friend CWinThread* AfxBeginThread(AFX_THREADPROC, LPVOID, int, UINT, DWORD,
                                      LPSECURITY_ATTRIBUTES);
    void Start();
    AFX_THREADPROC m_pfnThreadProc;
    LPVOID m_pThreadParams;
    bool m_bStarted;
};

// Starts pfnThreadProc(pParam) on a new thread and returns its thread object,
// which deletes itself when the thread ends (so the caller must not keep it
// unless it clears m_bAutoDelete before resuming a suspended thread). Null when
// no thread could be started.
ZODARURUVIZI_API CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam,
                                            int nPriority = THREAD_PRIORITY_NORMAL,
                                            UINT nStackSize = 0, DWORD dwCreateFlags = 0,
                                            LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

// True when every worker thread started with AfxBeginThread has ended within
// timeoutMs milliseconds (0xFFFFFFFF waits without limit). Any thread may call.
ZODARURUVIZI_API bool WaitForWorkerThreads(unsigned long timeoutMs);
// The number of worker threads started with AfxBeginThread that have not ended.
ZODARURUVIZI_API int GetRunningWorkerThreadCount();

#endif
