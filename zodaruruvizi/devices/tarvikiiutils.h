// Device utilities of the second-generation device ("Tarvik II" family): every
// operation has a fixed result; no device is contacted and no file changed.
#ifndef ZODARURUVIZI_DEVICES_TARVIKIIUTILS_H
#define ZODARURUVIZI_DEVICES_TARVIKIIUTILS_H

#include "zodaruruvizi/devices/zodaruruviziutils.h"

class CTarvikIIUtils : public CZodarurUvizi {
public:
    CTarvikIIUtils();
    ~CTarvikIIUtils() override;

    void RequestSerialNumber() override;
    void ResetDevice() override;
    void SendSerialNumberText(CString text) override;
    bool RenameFile(CODETYPE codeType, bool bFlag) override;               // true
    CString GetFilename(CODETYPE codeType, bool bFlag) override;           // empty
    bool GetVersionFromFile(CString fileName, CString& version) override;  // true, untouched
    bool GetReleaseIds(bool bConnected, bool bResourceLocked) override;    // true, no writes
    bool TrimReleaseId(CString rawId, CString& trimmedId) override;        // true, untouched
    CString GetReleaseKey(CODETYPE codeType) override;                     // empty
    CString GetUntrimmedReleaseKey(CODETYPE codeType) override;            // empty
    bool UpdatePROM() override;                                            // true
    bool UpdateLC() override;                                              // true
    bool IsCodeTypeSupported(CODETYPE codeType) override;                  // true for any value
};

#endif
