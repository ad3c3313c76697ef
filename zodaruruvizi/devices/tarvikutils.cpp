#include "zodaruruvizi/devices/tarvikutils.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hostapi/substream.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/identityrecords.h"

namespace {

const DWORD VSI_GET_OS_VERSION = 0x20000000;
const DWORD VSI_GET_PROM_VERSION = 0x10000000;
const DWORD VSI_GET_BOOTSTRAP_VERSION = 0x01000000;
const DWORD VSI_GET_CPLD_REVISION = 0x00000800;
const DWORD VSI_GET_ACTIVE_CABLE_VERSION = 0x00000200;
const DWORD VSI_GET_SERIAL_NUMBER = 0x80000000;
const DWORD VSI_GET_MAC_ADDRESS = 0x00020000;
const DWORD VSI_MAC_ETHERNET = 0x88000000;
const DWORD VSI_MAC_USB = 0x48000000;
const DWORD VSI_REQUEST_SERIAL_NUMBER = 0x00400000;
const DWORD VSI_SEND_SERIAL_NUMBER_TEXT = 0x00008000;
const DWORD VSI_UPDATE_ACTIVE_CABLE = 0x00000400;
const DWORD VSI_RESET_DEVICE = 0x80000000;

const int kQueryTimeoutMs = 10000;
const int kSerialRequestTimeoutMs = 20000;
const int kActiveCableTimeoutMs = 30000;
const DWORD kTextBufferSize = 128;

const char kChannelInfo[] = "RT_COMMS_I";
const char kChannelError[] = "RT_COMMS_E";
const char kStandardCpld[] = "STANDARD CORVEL CPLD";

// Attributes that the fall-back of GetReleaseIds overwrites, in its order.
const char* const kFallbackAttributes[] = {
    "Tarvik_SerialNum",
    "Tarvik_Release",
    "Tarvik_PROM_Release",
    "Tarvik_Release_Untrimmed",
    "Tarvik_PROM_Release_Untrimmed",
    "Tarvik_Bootstrap_Release",
    "Tarvik_Bootstrap_Release_Untrimmed",
    "Tarvik_CPLD_Release",
    "Tarvik_CPLD_Release_Untrimmed",
    "Tarvik_MAC_Firmware_Release",
    "Tarvik_MAC_Firmware_Release_Untrimmed",
    "Tarvik_R318_Firmware_Release",
    "Tarvik_R318_Firmware_Release_Untrimmed",
    "Tarvik_MACAddress",
    "Tarvik_USBMACAddress",
};

struct ReleaseKeys {
    const char* trimmed;
    const char* untrimmed;
};
const ReleaseKeys kReleaseKeys[] = {
    {"Tarvik_Release", "Tarvik_Release_Untrimmed"},
    {"Tarvik_PROM_Release", "Tarvik_PROM_Release_Untrimmed"},
    {"Tarvik_Bootstrap_Release", "Tarvik_Bootstrap_Release_Untrimmed"},
    {"Tarvik_CPLD_Release", "Tarvik_CPLD_Release_Untrimmed"},
    {"Tarvik_MAC_Firmware_Release", "Tarvik_MAC_Firmware_Release_Untrimmed"},
    {"Tarvik_R318_Firmware_Release", "Tarvik_R318_Firmware_Release_Untrimmed"},
};

// A value-store entry through the store's index operation (a missing key is
// added empty).
CString IndexStore(const char* key) {
    return CString(GetValueStore()[key]);
}

// A record field: "Unknown" for an empty value.
CString RecordField(const char* key) {
    CString value = IndexStore(key);
    if (value.IsEmpty())
        value = kValueUnknown;
    return value;
}

// A MAC field: also "Unknown" for "NotConnected" in any letter case.
CString MacRecordField(const char* key) {
    CString value = RecordField(key);
    if (value.CompareNoCase(kValueNotConnected) == 0)
        value = kValueUnknown;
    return value;
}

}  // namespace

CTarvikUtils::CTarvikUtils(CGatewayComms* pGatewayComms) {
    m_pGatewayComms = pGatewayComms;
}

CTarvikUtils::~CTarvikUtils() {
    if (m_pGatewayComms) {
        delete m_pGatewayComms;
        m_pGatewayComms = nullptr;
    }
}

// ---- release identifiers -------------------------------------------------

bool CTarvikUtils::QueryDeviceText(DWORD code, DWORD qualifier, CString& text) {
    CSubStream stream;
    char buffer[kTextBufferSize];
    DWORD length = kTextBufferSize;
    DWORD status = 0;
    VSI_GetSerialNumber(stream, code, &length, buffer, qualifier, &status);
    if (m_pGatewayComms)
        m_pGatewayComms->ExecuteSubCommand(stream, kQueryTimeoutMs);
    if (status != 0 || length >= kTextBufferSize)
        length = 0;
    buffer[length] = '\0';
    text = buffer;
    return status == 0;
}

bool CTarvikUtils::ReadCPLDRevision(DWORD* pRevision, DWORD* pStatus) {
    CSubStream stream;
    unsigned char buffer[4] = {0, 0, 0, 0};
    DWORD length = sizeof buffer;
    DWORD status = 0;
    VSI_GetSerialNumber(stream, VSI_GET_CPLD_REVISION, &length, buffer, 0, &status);
    if (m_pGatewayComms)
        m_pGatewayComms->ExecuteSubCommand(stream, kQueryTimeoutMs);
    if (pStatus)
        *pStatus = status;
    if (status == 0 && length == sizeof buffer) {
        if (pRevision)
            *pRevision = IFC_Get32(buffer);
        return true;
    }
    return false;
}

bool CTarvikUtils::IsNonStandardCPLD(DWORD status) {
    if (status == 0)
        return true;
    if (status == 1 || status == 4)
        return false;
    CString bootstrap;
    return QueryDeviceText(VSI_GET_BOOTSTRAP_VERSION, 0, bootstrap);
}

bool CTarvikUtils::IsActiveCableOfType(CODETYPE codeType, CString version) {
    CString prefix;
    return m_FileUtils.GetActvCablePrefix(codeType, prefix) != 0 && version.Find(prefix) >= 0;
}

bool CTarvikUtils::IsSerialNumberValid(CString serialNumber) {
    return !serialNumber.IsEmpty() && serialNumber != "UNKNOWN";
}

bool CTarvikUtils::TrimReleaseId(CString rawId, CString& trimmedId) {
    if (rawId.Find("CPOD_") >= 0) {
        CString tail = rawId.Mid(rawId.ReverseFind('_'));
        if (tail.Find("_R") == 0 || tail.Find("_ER") == 0) {
            trimmedId = tail.Mid(1);
            return true;
        }
    }
    trimmedId = rawId;
    return false;
}

void CTarvikUtils::ReadMACAddresses() {
    struct MacQuery {
        DWORD qualifier;
        const char* failure;
        const char* key;
    };
    static const MacQuery kQueries[] = {
        {VSI_MAC_ETHERNET, "Get Tarvik MAC Address failed.", "Tarvik_MACAddress"},
        {VSI_MAC_USB, "Get Tarvik USB MAC Address failed.", "Tarvik_USBMACAddress"},
    };
    for (const MacQuery& query : kQueries) {
        CString text;
        bool bOK = QueryDeviceText(VSI_GET_MAC_ADDRESS, query.qualifier, text);
        text.Trim();
        if (!bOK || text.IsEmpty()) {
            MonPrintfEx(kChannelError, "%s", query.failure);
            text = kValueUnknown;
        }
        SetStoredValue(query.key, text, true);
    }
}

bool CTarvikUtils::GetReleaseIds(bool bConnected, bool bResourceLocked) {
    bool result = false;
    bool bCommsOK = true;

    if (bConnected && !bResourceLocked) {
        do {
            if (!m_pGatewayComms || !m_pGatewayComms->OpenSocket())
                break;

            CString value;
            bCommsOK = QueryDeviceText(VSI_GET_OS_VERSION, 0, value);
            if (!bCommsOK)
                break;
            const bool bLcTrimmed = SetStoredValue("Tarvik_Release", value, true);
            SetStoredValue("Tarvik_Release_Untrimmed", value, false);

            if (!QueryDeviceText(VSI_GET_PROM_VERSION, 0, value) || value.IsEmpty()) {
                MonPrintfEx(kChannelError, "Get VSI_GET_PROM_VERSION failed.");
                value = kValueUnknown;
            }
            SetStoredValue("Tarvik_PROM_Release", value, true);
            SetStoredValue("Tarvik_PROM_Release_Untrimmed", value, false);

            result = true;

            if (!QueryDeviceText(VSI_GET_BOOTSTRAP_VERSION, 0, value) || value.IsEmpty()) {
                MonPrintfEx(kChannelError, "Get VSI_GET_BOOTSTRAP_VERSION failed.");
                value = kValueUnknown;
            }
            SetStoredValue("Tarvik_Bootstrap_Release", value, true);
            SetStoredValue("Tarvik_Bootstrap_Release_Untrimmed", value, false);

            DWORD revision = 0;
            DWORD status = 0;
            ReadCPLDRevision(&revision, &status);
            MonPrintfEx(kChannelInfo, "CPLD REV:0x%08X VSI:0x%08x", static_cast<unsigned>(revision),
                        static_cast<unsigned>(status));
            if (IsNonStandardCPLD(status)) {
                MonPrintfEx(kChannelError, "***** Non-Standard CPLD Detected *****");
                value.Format("R%u", static_cast<unsigned>(revision));
            } else {
                value = kStandardCpld;
            }
            SetStoredValue("Tarvik_CPLD_Release", value, true);
            SetStoredValue("Tarvik_CPLD_Release_Untrimmed", value, false);

            CString raw;
            CString macCable;
            CString r318Cable;
            if (!QueryDeviceText(VSI_GET_ACTIVE_CABLE_VERSION, 0, raw) || raw.IsEmpty()) {
                MonPrintfEx(kChannelError,
                            "Get Active Cable (Tessan/R318) firmware version failed.");
                macCable = kValueUnknown;
                r318Cable = kValueUnknown;
            } else {
                macCable = IsActiveCableOfType(CT_MAC, raw) ? raw : CString(kValueUnknown);
                MonPrintfEx(kChannelInfo, "Tessan Active Cable Version: %s.", macCable.GetString());
                r318Cable = IsActiveCableOfType(CT_R318, raw) ? raw : CString(kValueUnknown);
                MonPrintfEx(kChannelInfo, "R318 Active Cable Version: %s.", r318Cable.GetString());
            }
            SetStoredValue("Tarvik_MAC_Firmware_Release", macCable, false);
            SetStoredValue("Tarvik_MAC_Firmware_Release_Untrimmed", macCable, false);
            SetStoredValue("Tarvik_R318_Firmware_Release", r318Cable, false);
            SetStoredValue("Tarvik_R318_Firmware_Release_Untrimmed", r318Cable, false);

            ReadMACAddresses();

            if (bLcTrimmed) {
                QueryDeviceText(VSI_GET_SERIAL_NUMBER, 0, value);
                if (!IsSerialNumberValid(value))
                    value = kValueUnknown;
            } else {
                value = kValueUnknown;
            }
            SetStoredValue("Tarvik_SerialNum", value, true);
        } while (false);
        if (m_pGatewayComms)
            m_pGatewayComms->CloseSocket();
    }

    const char* fallback = nullptr;
    if (!bCommsOK || bResourceLocked) {
        fallback = kValueUnknown;
        if (bCommsOK)
            result = true;
    } else if (!bConnected || !result) {
        fallback = kValueNotConnected;
    }
    if (fallback) {
        for (const char* key : kFallbackAttributes)
            SetStoredValue(key, fallback, true);
    }

    if (result && !bResourceLocked)
        StoreTarvikSerialNumToFile();
    return result;
}

// ---- identity record file ------------------------------------------------

void CTarvikUtils::StoreTarvikSerialNumToFile() {
    const CString serial = RecordField("Tarvik_SerialNum");
    const CString lc = RecordField("Tarvik_Release");
    const CString prom = RecordField("Tarvik_PROM_Release");
    const CString bootstrap = RecordField("Tarvik_Bootstrap_Release");
    const CString mac = MacRecordField("Tarvik_MACAddress");
    const CString usbMac = MacRecordField("Tarvik_USBMACAddress");

    // A serial number reading "Unknown" gives no record: it would replace
    // every line holding an "Unknown" field. The file is still cleaned up.
    std::string record;
    if (serial.CompareNoCase(kValueUnknown) != 0) {
        const std::string_view fields[6] = {serial.GetString(), lc.GetString(),
                                            prom.GetString(),   bootstrap.GetString(),
                                            mac.GetString(),    usbMac.GetString()};
        record = MakeIdentityRecord(fields);
    }
    try {
        CString logDir;
        CSystemInfo::GetLogFilesPath(logDir);
        CString path;
        path.Format("%s%s%s", logDir.GetString(), "\\", TARVIK_SERIAL_NUMS_FILE);
        // The serial number as the record holds it.
        StoreIdentityRecord(path, std::string_view(record).substr(0, serial.GetLength()), record,
                            "CTarvikUtils::StoreTarvikSerialNumToFile>> Ignoring invalid serial "
                            "number");
    } catch (CFileException* e) {
        MonPrintfEx(kChannelError,
                    "CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems: %d",
                    e->m_cause);
        e->Delete();
    } catch (...) {
        MonPrintfEx(kChannelError,
                    "CTarvikUtils::StoreTarvikSerialNumToFile - Unknown exception caught.");
    }
}

// ---- naming, keys and support ----------------------------------------------

bool CTarvikUtils::IsCodeTypeSupported(CODETYPE codeType) {
    return codeType >= CT_LC && codeType <= CT_R318;
}

CString CTarvikUtils::GetFilename(CODETYPE codeType, bool bFlag) {
    if (!IsCodeTypeSupported(codeType))
        LogError(__FILE__, __LINE__);
    return m_FileUtils.GetTarvikFileName(codeType, bFlag);
}

CString CTarvikUtils::GetActiveCableFilename(CODETYPE codeType) {
    if (!IsCodeTypeSupported(codeType))
        LogError(__FILE__, __LINE__);
    return m_FileUtils.GetHexFilename(codeType);
}

bool CTarvikUtils::GetVersionFromFile(CString fileName, CString& version) {
    return m_FileUtils.GetTarvikVersionFromFile(fileName, version);
}

CString CTarvikUtils::GetReleaseKey(CODETYPE codeType) {
    if (!IsCodeTypeSupported(codeType)) {
        LogError(__FILE__, __LINE__);
        return CString();
    }
    return kReleaseKeys[codeType].trimmed;
}

CString CTarvikUtils::GetUntrimmedReleaseKey(CODETYPE codeType) {
    if (!IsCodeTypeSupported(codeType)) {
        LogError(__FILE__, __LINE__);
        return CString();
    }
    return kReleaseKeys[codeType].untrimmed;
}

bool CTarvikUtils::LCFileExists() {
    return FileExists(GetFilename(CT_LC, false));
}

void CTarvikUtils::SendSerialNumberText(CString text) {
    char buffer[kTextBufferSize];
    memset(buffer, 0, sizeof buffer);
    const int copy = text.GetLength() < 127 ? text.GetLength() : 127;
    memcpy(buffer, text.GetString(), static_cast<size_t>(copy));
    buffer[copy] = '\0';
    CSubStream stream;
    DWORD length = kTextBufferSize;
    DWORD status = 0;
    VSI_GetSerialNumber(stream, VSI_SEND_SERIAL_NUMBER_TEXT, &length, buffer, 0, &status);
    if (m_pGatewayComms && m_pGatewayComms->IsSocketOpen()) {
        m_pGatewayComms->ExecuteSubCommand(stream, kQueryTimeoutMs);
    }
}

// ---- updates -----------------------------------------------------------------

void CTarvikUtils::RequestSerialNumber() {
    CSubStream stream;
    char buffer[1] = {0};
    DWORD length = 1;
    DWORD status = 0;
    VSI_GetSerialNumber(stream, VSI_REQUEST_SERIAL_NUMBER, &length, buffer, 0, &status);
    if (m_pGatewayComms && m_pGatewayComms->IsSocketOpen()) {
        m_pGatewayComms->ExecuteSubCommand(stream, kSerialRequestTimeoutMs);
    }
}

void CTarvikUtils::ResetDevice() {
    CSubStream stream;
    DWORD status = 0;
    VSI_Reset(stream, VSI_RESET_DEVICE, &status);
    if (m_pGatewayComms && m_pGatewayComms->IsSocketOpen()) {
        m_pGatewayComms->ExecuteSubCommand(stream, kQueryTimeoutMs);
    }
}

bool CTarvikUtils::RenameFile(CODETYPE codeType, bool bFlag) {
    if (!IsCodeTypeSupported(codeType))
        LogError(__FILE__, __LINE__);
    const CString stagedName = GetFilename(codeType, false);
    const CString shippedName = GetFilename(codeType, true);
    return m_FileUtils.RenameGatewayFile(shippedName, stagedName, bFlag);
}

bool CTarvikUtils::InstallComponent(CODETYPE codeType) {
    RenameFile(codeType, false);
    if (codeType != CT_LC)
        RenameFile(CT_LC, false);
    if (m_pGatewayComms && !m_pGatewayComms->IsSocketOpen())
        m_pGatewayComms->OpenSocket();
    RequestSerialNumber();
    ResetDevice();
    if (m_pGatewayComms && m_pGatewayComms->IsSocketOpen())
        m_pGatewayComms->CloseSocket();
    return true;
}

bool CTarvikUtils::UpdateLC() {
    return InstallComponent(CT_LC);
}
bool CTarvikUtils::UpdatePROM() {
    return InstallComponent(CT_PROM);
}
bool CTarvikUtils::UpdateBootstrap() {
    return InstallComponent(CT_BOOTSTRAP);
}
bool CTarvikUtils::UpdateCPLD() {
    return InstallComponent(CT_CPLD);
}
bool CTarvikUtils::UpdateActiveCable(CODETYPE codeType) {
    return InstallComponent(codeType);
}

void CTarvikUtils::UpdateActiveCableFirmware(CODETYPE codeType) {
    if (codeType != CT_MAC && codeType != CT_R318) {
        MonPrintfEx(kChannelError,
                    "CTarvikUtils::UpdateActiveCableFirmware - Incorrect CodeType (%d).",
                    static_cast<int>(codeType));
        return;
    }
    Sleep(500);

    CString path;
    path.Format("%s%s%s", CGatewayFileUtils::GetDefaultSoftwareLocation().GetString(), "\\",
                m_FileUtils.GetHexFilename(codeType).GetString());
    const DWORD pathSize = static_cast<DWORD>(path.GetLength()) + 1;
    std::vector<char> buffer(path.GetString(), path.GetString() + pathSize);
    DWORD length = pathSize;
    DWORD status = 0;

    MonPrintfEx(kChannelInfo, "Update Active Cable (Type: %d) Firmware: %s",
                static_cast<int>(codeType), path.GetString());
    CSubStream stream;
    VSI_GetSerialNumber(stream, VSI_UPDATE_ACTIVE_CABLE, &length, buffer.data(), 0, &status);
    if (m_pGatewayComms)
        m_pGatewayComms->ExecuteSubCommand(stream, kActiveCableTimeoutMs);
    MonPrintfEx(kChannelInfo, "Active Cable Firmware update result: %d", static_cast<int>(status));

    if (status != 0) {
        MonPrintfEx(kChannelInfo, "*** Retry of Active Cable Firmware Update.  ***");
        status = 0;
        Sleep(500);
        length = pathSize;  // the first reply overwrote it with the reply's length
        VSI_GetSerialNumber(stream, VSI_UPDATE_ACTIVE_CABLE, &length, buffer.data(), 0, &status);
        if (m_pGatewayComms)
            m_pGatewayComms->ExecuteSubCommand(stream, kActiveCableTimeoutMs);
        MonPrintfEx(kChannelInfo, "Active Cable Firmware Update result: %d",
                    static_cast<int>(status));
    }
    if (status != 0)
        LogError(__FILE__, __LINE__);
}

// ---- custom CPLD ---------------------------------------------------------------

CString CTarvikUtils::GetCustomCPLDFileName() {
    return m_FileUtils.GetCustomTarvikCPLDFileName();
}

void CTarvikUtils::SetCustomCPLDFileName(CString fileName) {
    m_FileUtils.SetCustomTarvikCPLDFileName(fileName);
}

bool CTarvikUtils::DeviceHasCustomCPLD() {
    const CString key = GetUntrimmedReleaseKey(CT_CPLD);
    const CString value = IndexStore(key);
    return !value.IsEmpty() && value != kStandardCpld && value != kValueUnknown &&
           value != kValueNotConnected;
}
