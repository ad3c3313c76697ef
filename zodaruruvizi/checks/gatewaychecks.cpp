#include "zodaruruvizi/checks/gatewaychecks.h"

#include <limits.h>
#include <string.h>

#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/sollumutils.h"
#include "zodaruruvizi/devices/tarvikiiutils.h"
#include "zodaruruvizi/devices/tarvikutils.h"

namespace {

const unsigned short kTarvikPort = 9191;
const unsigned short kSollumPort = 9181;
// Marks "no component chosen yet" in UPDATE_PARAMS::codeType.
const CODETYPE kNoCodeType = static_cast<CODETYPE>(-1);

CZodarurUvizi* CreateDeviceUtilities(const char* family) {
    if (!family)
        return nullptr;
    if (strncmp(family, "ZEL", 3) == 0)
        return new CTarvikUtils(new CGatewayComms(kTarvikPort));
    if (strcmp(family, "MIR") == 0)
        return new CSollumUtils(new CGatewayComms(kSollumPort));
    if (strcmp(family, "Tarvik II") == 0)
        return new CTarvikIIUtils();
    return nullptr;
}

bool IsFieldSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The field's value as atoi gives it: leading white space, an optional sign,
// then decimal digits up to the first other character; 0 without digits. A
// value beyond the 32-bit range saturates at INT_MAX or INT_MIN.
int FieldValue(const CString& field) {
    const char* p = field.GetString();
    while (IsFieldSpace(*p))
        ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = (*p++ == '-');
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (bNegative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// Takes the next field off text: up to the first '.', dropping the dots that
// follow it; or the whole text, leaving "0". Returns whether a '.' was found.
bool TakeField(CString& text, CString& field) {
    const int dot = text.Find('.');
    if (dot < 0) {
        field = text;
        text = "0";
        return false;
    }
    field = text.Left(dot);
    text = text.Mid(dot + 1);
    text.TrimLeft('.');
    return true;
}

UINT UpdateWorker(LPVOID pParam) {
    const UPDATE_PARAMS* pParams = static_cast<const UPDATE_PARAMS*>(pParam);
    CZodarurUvizi* pZodarurUvizi = pParams->pZodarurUvizi;
    const CODETYPE codeType = pParams->codeType;
    if (!pZodarurUvizi)
        return 0;
    switch (codeType) {
        case CT_LC:
            pZodarurUvizi->UpdateLC();
            break;
        case CT_PROM:
            pZodarurUvizi->UpdatePROM();
            break;
        case CT_BOOTSTRAP:
            pZodarurUvizi->UpdateBootstrap();
            break;
        case CT_CPLD:
            pZodarurUvizi->UpdateCPLD();
            break;
        case CT_MAC:
            pZodarurUvizi->UpdateActiveCable(CT_MAC);
            break;
        case CT_R318:
            pZodarurUvizi->UpdateActiveCable(CT_R318);
            break;
    }
    return 0;
}

}  // namespace

CGatewayChecks::CGatewayChecks(const char* deviceFamily)
    : m_pZodarurUvizi(CreateDeviceUtilities(deviceFamily)), m_VantorInstalled(false) {
    m_UpdateParams.pZodarurUvizi = nullptr;
    m_UpdateParams.codeType = kNoCodeType;
}

CGatewayChecks::~CGatewayChecks() {
    delete m_pZodarurUvizi;
    m_pZodarurUvizi = nullptr;
}

CCodeDiffResults CGatewayChecks::CheckForUpdates(bool bReadReleaseIds) {
    if (bReadReleaseIds)
        SetReleaseIds(true, false);
    return PerformAllChecks();
}

bool CGatewayChecks::SetReleaseIds(bool bConnected, bool bResourceLocked) {
    if (!m_pZodarurUvizi)
        return false;
    return m_pZodarurUvizi->GetReleaseIds(bConnected, bResourceLocked);
}

CCodeDiffResults CGatewayChecks::PerformAllChecks() {
    CCodeDiffResults results;
    if (!m_pZodarurUvizi)
        return results;
    if (m_pZodarurUvizi->IsCodeTypeSupported(CT_BOOTSTRAP))
        results.m_BS = VerifyMinBootstrapLevel();
    if (m_pZodarurUvizi->IsCodeTypeSupported(CT_PROM))
        results.m_PROM = VerifyMinPromLevel();
    if (m_pZodarurUvizi->IsCodeTypeSupported(CT_LC))
        results.m_LC = VerifyMinBCFLevel();
    if (m_pZodarurUvizi->IsCodeTypeSupported(CT_MAC) && !results.DifferencesFound()) {
        results.m_MAC = VerifyMinActiveCableFirmwareLevel(CT_MAC);
    }
    if (m_pZodarurUvizi->IsCodeTypeSupported(CT_R318) && !results.DifferencesFound()) {
        results.m_R318 = VerifyMinActiveCableFirmwareLevel(CT_R318);
    }
    if (m_pZodarurUvizi->IsCodeTypeSupported(CT_CPLD) && !results.DifferencesFound()) {
        results.m_CPLD = VerifyMinCPLDLevel();
    }
    return results;
}

void CGatewayChecks::PerformUpdate(CCodeDiffResults results) {
    if (!m_pZodarurUvizi)
        return;
    m_UpdateParams.pZodarurUvizi = m_pZodarurUvizi;
    if (results.m_BS != DT_SAME) {
        m_UpdateParams.codeType = CT_BOOTSTRAP;
    } else if (results.m_PROM != DT_SAME) {
        m_UpdateParams.codeType = CT_PROM;
    } else if (results.m_LC != DT_SAME) {
        m_UpdateParams.codeType = CT_LC;
    } else if (results.m_CPLD != DT_SAME) {
        m_UpdateParams.codeType = CT_CPLD;
    } else if (results.m_MAC != DT_SAME) {
        m_UpdateParams.codeType = CT_MAC;
    } else if (results.m_R318 != DT_SAME) {
        m_UpdateParams.codeType = CT_R318;
    }
    if (m_UpdateParams.codeType == kNoCodeType)
        return;
    AfxBeginThread(UpdateWorker, &m_UpdateParams, THREAD_PRIORITY_NORMAL, 0, 0, nullptr);
}

void CGatewayChecks::UpdateActiveCableFirmware(CODETYPE codeType) {
    if (m_pZodarurUvizi)
        m_pZodarurUvizi->UpdateActiveCableFirmware(codeType);
}

void CGatewayChecks::RenameFile(CODETYPE codeType, CString, bool bFlag) {
    if (m_pZodarurUvizi)
        m_pZodarurUvizi->RenameFile(codeType, bFlag);
}

CString CGatewayChecks::GetFilename(CString, CODETYPE codeType, bool bFlag) {
    if (!m_pZodarurUvizi)
        return CString();
    return m_pZodarurUvizi->GetFilename(codeType, bFlag);
}

bool CGatewayChecks::DeviceFileExists(CString, CODETYPE codeType) {
    if (!m_pZodarurUvizi)
        return false;
    return m_pZodarurUvizi->FileExists(m_pZodarurUvizi->GetFilename(codeType, false));
}

CString CGatewayChecks::GetCustomCPLDFileName() {
    if (!m_pZodarurUvizi)
        return CString();
    return m_pZodarurUvizi->GetCustomCPLDFileName();
}

void CGatewayChecks::SetCustomCPLDFileName(CString fileName) {
    if (m_pZodarurUvizi)
        m_pZodarurUvizi->SetCustomCPLDFileName(fileName);
}

bool CGatewayChecks::DeviceHasCustomCPLD() {
    return m_pZodarurUvizi ? m_pZodarurUvizi->DeviceHasCustomCPLD() : false;
}

void CGatewayChecks::SetAddress(unsigned long address) {
    if (m_pZodarurUvizi)
        m_pZodarurUvizi->SetIPAddress(address);
}

unsigned long CGatewayChecks::GetAddress() {
    return m_pZodarurUvizi ? m_pZodarurUvizi->GetIPAddress() : 0;
}

void CGatewayChecks::ReadStoredValue(const char* key, CString& value) {
    if (!m_pZodarurUvizi) {
        value = kValueUnknown;
        return;
    }
    m_pZodarurUvizi->ReadStoredValue(key, value);
    value.Trim();
    if (value.IsEmpty())
        value = kValueUnknown;
}

void CGatewayChecks::ReadStoredValues(char* buffer, int bufferSize) {
    if (m_pZodarurUvizi)
        m_pZodarurUvizi->ReadStoredValues(buffer, bufferSize);
}

bool CGatewayChecks::IsVantorInstalled() {
    return m_VantorInstalled;
}

CString CGatewayChecks::GetVantorVersion() {
    return m_VantorVersion;
}

// ---- the checks ------------------------------------------------------------

DIFFTYPE CGatewayChecks::VerifyMinBCFLevel() {
    if (!m_pZodarurUvizi)
        return DT_SAME;
    return VerifyFWLevel(m_pZodarurUvizi->GetFilename(CT_LC, true), CT_LC);
}

DIFFTYPE CGatewayChecks::VerifyMinPromLevel() {
    if (!m_pZodarurUvizi)
        return DT_SAME;
    return VerifyFWLevel(m_pZodarurUvizi->GetFilename(CT_PROM, true), CT_PROM);
}

DIFFTYPE CGatewayChecks::VerifyMinBootstrapLevel() {
    if (!m_pZodarurUvizi)
        return DT_SAME;
    return VerifyFWLevel(m_pZodarurUvizi->GetFilename(CT_BOOTSTRAP, true), CT_BOOTSTRAP);
}

DIFFTYPE CGatewayChecks::VerifyMinActiveCableFirmwareLevel(CODETYPE codeType) {
    if (!m_pZodarurUvizi)
        return DT_SAME;
    return VerifyFWLevel(m_pZodarurUvizi->GetActiveCableFilename(codeType), codeType);
}

DIFFTYPE CGatewayChecks::VerifyMinCPLDLevel() {
    if (!m_pZodarurUvizi)
        return DT_SAME;
    const bool bCustomOnPC = !m_pZodarurUvizi->GetCustomCPLDFileName().IsEmpty();
    const bool bCustomOnDevice = m_pZodarurUvizi->DeviceHasCustomCPLD();
    return bCustomOnPC == bCustomOnDevice ? DT_SAME : DT_OLDER;
}

DIFFTYPE CGatewayChecks::VerifyFWLevel(CString fileName, CODETYPE codeType) {
    if (!m_pZodarurUvizi)
        return DT_SAME;
    const CString key = m_pZodarurUvizi->GetUntrimmedReleaseKey(codeType);

    CString fileRaw;
    if (!m_pZodarurUvizi->GetVersionFromFile(fileName, fileRaw))
        return DT_SAME;
    CString fileRelease;
    const bool bFileTrimmed = m_pZodarurUvizi->TrimReleaseId(fileRaw, fileRelease);
    if (!bFileTrimmed)
        fileRelease = fileRaw;

    CString deviceRaw;
    FetchGatewayValue(key, deviceRaw);
    if (IsManufacturingRelease(deviceRaw))
        return DT_FORCED;

    CString deviceRelease;
    if (m_pZodarurUvizi->TrimReleaseId(deviceRaw, deviceRelease)) {
        if (bFileTrimmed)
            return CompareGatewayReleaseID(deviceRelease, fileRelease);
        return deviceRelease.CompareNoCase(fileRelease) != 0 ? DT_OLDER : DT_SAME;
    }

    DIFFTYPE result = DT_SAME;
    if (deviceRaw.Find(" DB") > 0) {
        m_VantorVersion = deviceRaw;
        m_VantorInstalled = true;
        result = DT_OLDER;
    }
    if (deviceRaw.CompareNoCase(kValueUnknown) == 0 ||
        deviceRaw.CompareNoCase(kValueNotConnected) == 0) {
        return result;
    }
    if (codeType == CT_MAC || codeType == CT_R318)
        return DT_SAME;
    if (deviceRaw.CompareNoCase(fileRelease) != 0)
        return DT_OLDER;
    return result;
}

DIFFTYPE CGatewayChecks::CompareGatewayReleaseID(CString deviceRelease, CString fileRelease) {
    CString device = deviceRelease;
    CString file = fileRelease;
    device.TrimLeft('E');
    device.TrimLeft('R');
    file.TrimLeft('E');
    file.TrimLeft('R');
    for (;;) {
        CString deviceField;
        CString fileField;
        const bool bDeviceDot = TakeField(device, deviceField);
        const bool bFileDot = TakeField(file, fileField);
        const int deviceValue = FieldValue(deviceField);
        const int fileValue = FieldValue(fileField);
        if (deviceValue < fileValue)
            return DT_OLDER;
        if (deviceValue > fileValue)
            return DT_NEWER;
        if (!bDeviceDot && !bFileDot)
            return DT_SAME;
    }
}

bool CGatewayChecks::IsManufacturingRelease(CString release) {
    return release.Find("MFT") >= 0;
}

bool CGatewayChecks::FetchGatewayValue(CString key, CString& value) {
    value = CString(GetValueStore()[key.str()]);
    value.Trim();
    if (value.IsEmpty())
        value = kValueUnknown;
    return true;
}

bool CGatewayChecks::VerifyPOSTResults() {
    return true;
}
