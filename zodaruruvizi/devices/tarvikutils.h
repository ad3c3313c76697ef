// Device utilities of the first-generation device ("ZEL" family, TCP 9191).
#ifndef ZODARURUVIZI_DEVICES_TARVIKUTILS_H
#define ZODARURUVIZI_DEVICES_TARVIKUTILS_H

#include "hostapi/environment.h"
#include "zodaruruvizi/devices/zodaruruviziutils.h"

// Name of the identity record file in the log-files directory.
#define TARVIK_SERIAL_NUMS_FILE "Tarvik_Serial_Nums.txt"

class CTarvikUtils : public CZodarurUvizi {
public:
    // Takes ownership of pGatewayComms (may be null: no device exchanges then).
    explicit CTarvikUtils(CGatewayComms* pGatewayComms);
    ~CTarvikUtils() override;

    void RequestSerialNumber() override;
    void ResetDevice() override;
    void SendSerialNumberText(CString text) override;
    bool RenameFile(CODETYPE codeType, bool bFlag) override;
    CString GetFilename(CODETYPE codeType, bool bFlag) override;
    CString GetActiveCableFilename(CODETYPE codeType) override;
    bool GetVersionFromFile(CString fileName, CString& version) override;
    // Reads every release identifier and identity value into the value store
    // (or the failure words) and, after a successful read, rewrites the
    // device's line of the identity record file. True when the device was read,
    // and also when bResourceLocked.
    bool GetReleaseIds(bool bConnected, bool bResourceLocked) override;
    // "CPOD_..._R1.2" gives "R1.2" and "CPOD_..._ER1.2" gives "ER1.2" (true);
    // anything else comes back unchanged with false.
    bool TrimReleaseId(CString rawId, CString& trimmedId) override;
    CString GetReleaseKey(CODETYPE codeType) override;
    CString GetUntrimmedReleaseKey(CODETYPE codeType) override;
    // The update operations stage the component's firmware (and, but for the
    // LC, the LC's), then ask for the serial number and reset the device, which
    // takes the staged images. They always return true.
    bool UpdatePROM() override;
    bool UpdateLC() override;
    bool UpdateBootstrap() override;
    bool UpdateCPLD() override;
    bool UpdateActiveCable(CODETYPE codeType) override;
    bool IsCodeTypeSupported(CODETYPE codeType) override;
    CString GetCustomCPLDFileName() override;
    void SetCustomCPLDFileName(CString fileName) override;
    bool DeviceHasCustomCPLD() override;
    // Sends the active cable's firmware path to the device on the connection as
    // it is (neither opened nor closed); a failure is retried once.
    void UpdateActiveCableFirmware(CODETYPE codeType) override;
    virtual bool LCFileExists();

private:
    bool QueryDeviceText(DWORD code, DWORD qualifier, CString& text);
    bool ReadCPLDRevision(DWORD* pRevision, DWORD* pStatus);
    bool IsNonStandardCPLD(DWORD status);
    bool IsActiveCableOfType(CODETYPE codeType, CString version);
    bool IsSerialNumberValid(CString serialNumber);
    void ReadMACAddresses();
    void StoreTarvikSerialNumToFile();
    bool InstallComponent(CODETYPE codeType);

    CGatewayFileUtils m_FileUtils;
};

#endif
