#include "platform/afx.h"

#include <stdio.h>
#include <string.h>

const CRuntimeClass CObject::classCObject = {"CObject", static_cast<int>(sizeof(CObject)), nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const {
    return &classCObject;
}
CObject::~CObject() = default;
void CObject::Serialize(CArchive&) {}
void CObject::AssertValid() const {}
void CObject::Dump(CDumpContext&) const {}

CException::~CException() = default;

void CException::Delete() {
    delete this;
}

BOOL CException::GetErrorMessage(char* lpszError, UINT nMaxError, UINT* pnHelpContext) {
    if (pnHelpContext)
        *pnHelpContext = 0;
    if (lpszError && nMaxError > 0)
        lpszError[0] = '\0';
    return FALSE;
}

CFileException::CFileException(int cause, LONG lOsError, const char* fileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(fileName) {}

CFileException::~CFileException() = default;

BOOL CFileException::GetErrorMessage(char* lpszError, UINT nMaxError, UINT* pnHelpContext) {
    static const char* const kCauses[] = {"no error",
                                          "unspecified error",
                                          "file not found",
                                          "bad path",
                                          "too many open files",
                                          "access denied",
                                          "invalid file",
                                          "cannot remove current directory",
                                          "directory full",
                                          "bad seek",
                                          "hardware I/O error",
                                          "sharing violation",
                                          "lock violation",
                                          "disk full",
                                          "end of file"};
    if (pnHelpContext)
        *pnHelpContext = 0;
    if (!lpszError || nMaxError == 0)
        return FALSE;
    const char* cause =
        (m_cause >= 0 && m_cause <= endOfFile) ? kCauses[m_cause] : "unknown file error";
    snprintf(lpszError, nMaxError, "%s: %s (system error %ld)", m_strFileName.GetString(), cause,
             static_cast<long>(m_lOsError));
    return TRUE;
}

void AfxThrowFileException(int cause, LONG lOsError, const char* fileName) {
    throw new CFileException(cause, lOsError, fileName);
}
