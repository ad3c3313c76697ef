// Device utilities of the measurement module ("MIR" family, TCP 9181).
#ifndef ZODARURUVIZI_DEVICES_SOLLUMUTILS_H
#define ZODARURUVIZI_DEVICES_SOLLUMUTILS_H

#include "hostapi/environment.h"
#include "zodaruruvizi/devices/zodaruruviziutils.h"

// Knows the loaded code (CT_LC) and the PROM (CT_PROM) only.
class CSollumUtils : public CZodarurUvizi {
public:
    // Takes ownership of pGatewayComms. Without a transport only the operations
    // that do not talk to the module are of use (the others fail quietly).
    explicit CSollumUtils(CGatewayComms* pGatewayComms);
    ~CSollumUtils() override;

    void RequestSerialNumber() override;
    // Sends the reset on the connection as it is.
    void ResetDevice() override;
    void SendSerialNumberText(CString text) override;
    // Stages or withdraws the LC file; true without touching a file for others.
    bool RenameFile(CODETYPE codeType, bool bFlag) override;
    CString GetFilename(CODETYPE codeType, bool bFlag) override;
    bool GetVersionFromFile(CString fileName, CString& version) override;
    bool GetReleaseIds(bool bConnected, bool bResourceLocked) override;
    // "... Release 3.4" gives "R3.4" (true); without the marker, false.
    bool TrimReleaseId(CString rawId, CString& trimmedId) override;
    CString GetReleaseKey(CODETYPE codeType) override;
    CString GetUntrimmedReleaseKey(CODETYPE codeType) override;
    // Sends the PROM file's path (cut to 127 characters) to the module, opening
    // the connection when it is not open and closing it afterwards. True when
    // the module answered status 0 or did not answer.
    bool UpdatePROM() override;
    // Stages the LC file and resets the module; always true.
    bool UpdateLC() override;
    bool IsCodeTypeSupported(CODETYPE codeType) override;
    virtual bool LCFileExists();

private:
    bool QueryCardDetail(int code, CString& text);

    CGatewayFileUtils m_FileUtils;
};

#endif
