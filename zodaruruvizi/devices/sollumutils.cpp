#include "zodaruruvizi/devices/sollumutils.h"

#include <string.h>

#include "hostapi/substream.h"
#include "zodaruruvizi/comms/gatewaycomms.h"

namespace {

const int MSI_GET_SERIAL_NUMBER = 1;
const int MSI_GET_LC_RELEASE = 2;
const int MSI_GET_PROM_RELEASE = 3;
const int MSI_UPDATE_PROM = 9;
const int kQualifier = 0;
const int kResetCode = 0x1000000;
const int kTimeoutMs = 10000;
const int kTextBufferSize = 128;
const char kReleaseMarker[] = "Release ";
const int kReleaseMarkerLength = 8;

const char* const kAttributes[] = {"Sollum_SerialNum", "Sollum_Release", "Sollum_PROM_Release",
                                   "Sollum_Release_Untrimmed", "Sollum_PROM_Release_Untrimmed"};

}  // namespace

CSollumUtils::CSollumUtils(CGatewayComms* pGatewayComms) {
    m_pGatewayComms = pGatewayComms;
}

CSollumUtils::~CSollumUtils() {
    if (m_pGatewayComms) {
        delete m_pGatewayComms;
        m_pGatewayComms = nullptr;
    }
}

void CSollumUtils::RequestSerialNumber() {}

void CSollumUtils::SendSerialNumberText(CString) {}

bool CSollumUtils::QueryCardDetail(int code, CString& text) {
    CSubStream stream;
    int length = kTextBufferSize;
    int status = -1;  // stays non-zero when no reply is decoded
    char buffer[kTextBufferSize];
    memset(buffer, 0, sizeof buffer);
    MSI_GetCardDetails(stream, code, &length, buffer, kQualifier, &status);
    if (m_pGatewayComms)
        m_pGatewayComms->ExecuteSubCommand(stream, kTimeoutMs);
    if (length >= kTextBufferSize || length < 0) {
        text.Empty();
    } else {
        buffer[length] = '\0';
        text = buffer;
    }
    return status == 0;
}

bool CSollumUtils::GetReleaseIds(bool bConnected, bool bResourceLocked) {
    bool result = false;
    bool bCommsOK = true;
    if (bConnected && !bResourceLocked) {
        if (m_pGatewayComms && m_pGatewayComms->OpenSocket()) {
            CString text;
            bCommsOK = QueryCardDetail(MSI_GET_LC_RELEASE, text);
            if (bCommsOK) {
                SetStoredValue("Sollum_Release", text, true);
                SetStoredValue("Sollum_Release_Untrimmed", text, false);
                QueryCardDetail(MSI_GET_PROM_RELEASE, text);
                SetStoredValue("Sollum_PROM_Release", text, true);
                SetStoredValue("Sollum_PROM_Release_Untrimmed", text, false);
                QueryCardDetail(MSI_GET_SERIAL_NUMBER, text);
                SetStoredValue("Sollum_SerialNum", text, true);
                result = true;
            }
        }
        if (m_pGatewayComms)
            m_pGatewayComms->CloseSocket();
    }
    if (!bCommsOK || bResourceLocked) {
        for (const char* key : kAttributes)
            SetStoredValue(key, kValueUnknown, true);
        if (bCommsOK)
            result = true;
    } else if (!bConnected || !result) {
        for (const char* key : kAttributes)
            SetStoredValue(key, kValueNotConnected, true);
    }
    return result;
}

bool CSollumUtils::TrimReleaseId(CString rawId, CString& trimmedId) {
    const int pos = rawId.Find(kReleaseMarker);
    if (pos < 0)
        return false;
    trimmedId = rawId.Right(rawId.GetLength() - pos - kReleaseMarkerLength);
    trimmedId.Insert(0, "R");
    return true;
}

bool CSollumUtils::IsCodeTypeSupported(CODETYPE codeType) {
    return codeType == CT_LC || codeType == CT_PROM;
}

CString CSollumUtils::GetFilename(CODETYPE codeType, bool bFlag) {
    if (!IsCodeTypeSupported(codeType))
        LogError(__FILE__, __LINE__);
    return m_FileUtils.GetSollumFileName(codeType, bFlag);
}

bool CSollumUtils::GetVersionFromFile(CString fileName, CString& version) {
    return m_FileUtils.GetSollumVersionFromFile(fileName, version);
}

CString CSollumUtils::GetReleaseKey(CODETYPE codeType) {
    if (!IsCodeTypeSupported(codeType))
        LogError(__FILE__, __LINE__);
    return codeType == CT_PROM ? "Sollum_PROM_Release" : "Sollum_Release";
}

CString CSollumUtils::GetUntrimmedReleaseKey(CODETYPE codeType) {
    if (!IsCodeTypeSupported(codeType))
        LogError(__FILE__, __LINE__);
    return codeType == CT_PROM ? "Sollum_PROM_Release_Untrimmed" : "Sollum_Release_Untrimmed";
}

bool CSollumUtils::RenameFile(CODETYPE codeType, bool bFlag) {
    if (!IsCodeTypeSupported(codeType))
        LogError(__FILE__, __LINE__);
    if (codeType != CT_LC)
        return true;
    return m_FileUtils.RenameGatewayFile(GetFilename(CT_LC, true), GetFilename(CT_LC, false),
                                         bFlag);
}

void CSollumUtils::ResetDevice() {
    CSubStream stream;
    int status = -1;
    MSI_Reset(stream, kResetCode, &status);
    if (m_pGatewayComms && m_pGatewayComms->IsSocketOpen()) {
        m_pGatewayComms->ExecuteSubCommand(stream, kTimeoutMs);
    }
}

bool CSollumUtils::UpdateLC() {
    RenameFile(CT_LC, false);
    if (m_pGatewayComms && !m_pGatewayComms->IsSocketOpen())
        m_pGatewayComms->OpenSocket();
    ResetDevice();
    if (m_pGatewayComms && m_pGatewayComms->IsSocketOpen())
        m_pGatewayComms->CloseSocket();
    return true;
}

bool CSollumUtils::UpdatePROM() {
    const CString fileName = m_FileUtils.GetSollumFileName(CT_PROM, true);
    const CString path = CGatewayFileUtils::GetDefaultSoftwareLocation() + "\\" + fileName;
    char buffer[kTextBufferSize];
    memset(buffer, 0, sizeof buffer);
    const int copy =
        path.GetLength() < kTextBufferSize - 1 ? path.GetLength() : kTextBufferSize - 1;
    memcpy(buffer, path.GetString(), static_cast<size_t>(copy));
    buffer[copy] = '\0';
    int length = kTextBufferSize;
    int status = 0;

    const bool bOpenedHere = m_pGatewayComms && !m_pGatewayComms->IsSocketOpen();
    if (bOpenedHere)
        m_pGatewayComms->OpenSocket();
    CSubStream stream;
    MSI_GetCardDetails(stream, MSI_UPDATE_PROM, &length, buffer, kQualifier, &status);
    if (m_pGatewayComms)
        m_pGatewayComms->ExecuteSubCommand(stream, kTimeoutMs);
    if (m_pGatewayComms && m_pGatewayComms->IsSocketOpen())
        m_pGatewayComms->CloseSocket();
    return status == 0;
}

bool CSollumUtils::LCFileExists() {
    return CZodarurUvizi::FileExists(m_FileUtils.GetSollumFileName(CT_LC, false));
}
