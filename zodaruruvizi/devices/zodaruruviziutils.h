// The device-utilities interface: one implementation per device family, and
// the module-wide value store of device attributes.
#ifndef ZODARURUVIZI_DEVICES_ZODARURUVIZIUTILS_H
#define ZODARURUVIZI_DEVICES_ZODARURUVIZIUTILS_H

#include "platform/afx.h"
#include "zodaruruvizi/checks/codetypes.h"
#include "zodaruruvizi/devices/valuestore.h"

class CGatewayComms;

// Failure words stored in place of device values.
extern const char* const kValueUnknown;       // "Unknown"
extern const char* const kValueNotConnected;  // "NotConnected"

// Abstract device utilities. The constructor starts Winsock 2.0 and the
// destructor releases it; a family that talks to its device over TCP owns the
// transport in m_pGatewayComms and deletes it in its own destructor. No lock:
// one thread at a time (the host's, or the update worker's while it runs).
class CZodarurUvizi {
public:
    CZodarurUvizi();
    virtual ~CZodarurUvizi();
    CZodarurUvizi(const CZodarurUvizi&) = delete;
    CZodarurUvizi& operator=(const CZodarurUvizi&) = delete;

    virtual void RequestSerialNumber() = 0;
    virtual void ResetDevice() = 0;
    virtual void SendSerialNumberText(CString text) = 0;
    virtual bool RenameFile(CODETYPE codeType, bool bFlag) = 0;
    // Whether the named file (or a match of a wildcard name, or a directory of
    // that name) is present in the default software location.
    virtual bool FileExists(CString fileName);
    virtual CString GetFilename(CODETYPE codeType, bool bFlag) = 0;
    virtual CString GetActiveCableFilename(CODETYPE codeType);
    virtual bool GetVersionFromFile(CString fileName, CString& version) = 0;
    virtual bool GetReleaseIds(bool bConnected, bool bResourceLocked) = 0;
    // Stores value under key: the short form when bTrim and TrimReleaseId
    // applies, white space trimmed, "Unknown" for an empty text. Returns whether
    // TrimReleaseId applied.
    virtual bool SetStoredValue(CString key, CString value, bool bTrim);
    virtual bool TrimReleaseId(CString rawId, CString& trimmedId) = 0;
    virtual CString GetReleaseKey(CODETYPE codeType) = 0;
    virtual CString GetUntrimmedReleaseKey(CODETYPE codeType) = 0;
    virtual bool UpdatePROM() = 0;
    virtual bool UpdateLC() = 0;
    virtual bool UpdateBootstrap();
    virtual bool UpdateCPLD();
    virtual bool UpdateActiveCable(CODETYPE codeType);
    virtual bool IsCodeTypeSupported(CODETYPE codeType) = 0;
    virtual CString GetCustomCPLDFileName();
    virtual void SetCustomCPLDFileName(CString fileName);
    virtual bool DeviceHasCustomCPLD();
    virtual void UpdateActiveCableFirmware(CODETYPE codeType);

    // One attribute, white space trimmed; "Unknown" for a missing or blank
    // value. Never adds a key.
    void ReadStoredValue(const char* key, CString& value);
    // Writes "[T: key] - [V: value]\n" per entry in key order into buffer,
    // skipping (not cutting) entries whose line and terminating zero do not fit
    // in what is left. The buffer is untouched when no line fits or size <= 0.
    void ReadStoredValues(char* buffer, int bufferSize);
    void CloseSocket();
    void SetIPAddress(unsigned long address);
    unsigned long GetIPAddress();  // 0 without a transport

protected:
    CGatewayComms* m_pGatewayComms;
};

#endif
