// The checker a host holds per gateway device family.
#ifndef ZODARURUVIZI_CHECKS_GATEWAYCHECKS_H
#define ZODARURUVIZI_CHECKS_GATEWAYCHECKS_H

#include "platform/afx.h"
#include "platform/export.h"
#include "zodaruruvizi/checks/codediffresults.h"
#include "zodaruruvizi/checks/codetypes.h"

class CZodarurUvizi;

// What the update worker receives.
struct UPDATE_PARAMS {
    CZodarurUvizi* pZodarurUvizi;  // not owned
    CODETYPE codeType;
};

// Reads a device's release identifiers into the module-wide value store,
// compares them with the firmware files on the PC, and starts the update of
// the one component that needs it.
//
// The family name selects the device utilities: a name beginning with "ZEL"
// (first-generation device, TCP 9191), "MIR" (measurement module, TCP 9181) or
// "Tarvik II" (no device contact); the comparison is case-sensitive. Any other
// name gives a checker without device utilities, whose checks are all DT_SAME
// and whose forwarding operations give empty results.
//
// Threads: every operation runs on the caller's thread, except the update that
// PerformUpdate starts on a worker thread. While that worker runs, the host must
// not read release identifiers, start another update or destroy the checker
// (WaitForWorkerThreads tells when it has ended). Not copyable.
class ZODARURUVIZI_API CGatewayChecks {
public:
    explicit CGatewayChecks(const char* deviceFamily);
    virtual ~CGatewayChecks();
    CGatewayChecks(const CGatewayChecks&) = delete;
    CGatewayChecks& operator=(const CGatewayChecks&) = delete;

    // With bReadReleaseIds, SetReleaseIds(true, false) first (its result is
    // ignored); then PerformAllChecks.
    CCodeDiffResults CheckForUpdates(bool bReadReleaseIds);
    // Reads the device's release identifiers and identity values into the value
    // store. bConnected false: the host has no device ("NotConnected" is
    // stored); bResourceLocked true: another user holds it ("Unknown" is
    // stored, result true). True when the identifiers were read.
    bool SetReleaseIds(bool bConnected, bool bResourceLocked);
    // Compares every supported component in a fixed order: bootstrap, PROM and
    // LC always; active cables and CPLD only while everything so far is the same.
    CCodeDiffResults PerformAllChecks();
    // Chooses the first differing field in the order BS, PROM, LC, CPLD, MAC,
    // R318 (any value but DT_SAME counts), and updates that component on a new
    // worker thread. With all fields DT_SAME the last chosen component is
    // updated again; when none was ever chosen nothing is started.
    void PerformUpdate(CCodeDiffResults results);
    // Active-cable firmware update for CT_MAC or CT_R318, on the caller's thread,
    // on the connection as it is.
    void UpdateActiveCableFirmware(CODETYPE codeType);
    void RenameFile(CODETYPE codeType, CString unused, bool bFlag);
    CString GetFilename(CString unused, CODETYPE codeType, bool bFlag);
    // Whether the staged (flag false) file of the code type is present.
    bool DeviceFileExists(CString unused, CODETYPE codeType);
    CString GetCustomCPLDFileName();
    void SetCustomCPLDFileName(CString fileName);
    bool DeviceHasCustomCPLD();
    // The device's IPv4 address in network byte order (as inet_addr gives it).
    void SetAddress(unsigned long address);
    unsigned long GetAddress();
    // One value-store attribute, white space trimmed; "Unknown" when missing or
    // blank.
    void ReadStoredValue(const char* key, CString& value);
    // The value-store dump: "[T: key] - [V: value]\n" per entry that fits,
    // zero-terminated; the buffer is untouched when nothing fits.
    void ReadStoredValues(char* buffer, int bufferSize);
    // Whether a device release text marked a Vantor installation (" DB"), and
    // the last such text; never reset.
    bool IsVantorInstalled();
    CString GetVantorVersion();

private:
    friend class CGatewayChecksTestAccess;  // unit tests of the private checks

    DIFFTYPE VerifyMinBCFLevel();
    DIFFTYPE VerifyMinPromLevel();
    DIFFTYPE VerifyMinBootstrapLevel();
    DIFFTYPE VerifyMinActiveCableFirmwareLevel(CODETYPE codeType);
    DIFFTYPE VerifyMinCPLDLevel();
    DIFFTYPE VerifyFWLevel(CString fileName, CODETYPE codeType);
    DIFFTYPE CompareGatewayReleaseID(CString deviceRelease, CString fileRelease);
    bool IsManufacturingRelease(CString release);
    bool FetchGatewayValue(CString key, CString& value);
    bool VerifyPOSTResults();

    CZodarurUvizi* m_pZodarurUvizi;
    UPDATE_PARAMS m_UpdateParams;
    CString m_VantorVersion;
    bool m_VantorInstalled;
};

#endif
