// CStdioFile on top of the system's CFile: the same on every system but for
// the line end of text files, which file_<system>.cpp gives.
//
// ReadString reads ahead into m_ReadBuffer; every other operation first gives
// back the bytes read ahead (moving the file pointer back), so the file
// position seen by the caller is always the one ReadString left. Read and Seek
// work on the bytes as stored; where text lines end in CR LF, Write stores
// "\n" as CR LF and ReadString drops the CR.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/afx.h"
#include "platform/file_text.h"

namespace {

constexpr size_t kReadChunk = 16384;

}  // namespace

void CStdioFile::ThrowIfClosed() const {
    if (!IsOpen()) {
        AfxThrowFileException(CFileException::invalidFile, static_cast<LONG>(ERROR_INVALID_HANDLE),
                              m_strFileName);
    }
}

const char* CStdioFile::StoredLineEnd() {
    return kTextLineEndIsCrLf ? "\r\n" : "\n";
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
    ThrowIfClosed();
    size_t scanFrom = m_ReadPos;
    for (;;) {
        size_t nl = m_ReadBuffer.find('\n', scanFrom);
        if (nl != std::string::npos) {
            size_t lineEnd = nl;
            if (kTextLineEndIsCrLf && m_bText && lineEnd > m_ReadPos &&
                m_ReadBuffer[lineEnd - 1] == '\r')
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
    ThrowIfClosed();
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
    ThrowIfClosed();
    if (m_ReadPos < m_ReadBuffer.size())
        Seek(0, current);  // gives back the read-ahead
    m_bAtEof = false;
    const char* data = static_cast<const char*>(lpBuf);
    if (!kTextLineEndIsCrLf || !m_bText || !std::memchr(data, '\n', nCount)) {
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
    ThrowIfClosed();
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
    ThrowIfClosed();
}
