#include "zodaruruvizi/devices/zodaruruviziutils.h"

#include <string.h>

#include <stdexcept>

#include "hostapi/environment.h"
#include "zodaruruvizi/comms/gatewaycomms.h"

const char* const kValueUnknown = "Unknown";
const char* const kValueNotConnected = "NotConnected";

ValueStoreMap& GetValueStore() {
    static ValueStoreMap store;
    return store;
}

CZodarurUvizi::CZodarurUvizi() : m_pGatewayComms(nullptr) {
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 0), &wsaData);
}

CZodarurUvizi::~CZodarurUvizi() {
    WSACleanup();
}

bool CZodarurUvizi::FileExists(CString fileName) {
    const CString path = CGatewayFileUtils::GetDefaultSoftwareLocation() + "\\" + fileName;
    WIN32_FIND_DATAA findData;
    HANDLE hFind = FindFirstFileA(path, &findData);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    return true;
}

CString CZodarurUvizi::GetActiveCableFilename(CODETYPE) {
    return CString();
}

bool CZodarurUvizi::SetStoredValue(CString key, CString value, bool bTrim) {
    CString output;
    bool bTrimmed = false;
    if (bTrim)
        bTrimmed = TrimReleaseId(value, output);
    if (!bTrimmed)
        output = value;
    output.Trim();
    if (output.IsEmpty())
        output = kValueUnknown;
    GetValueStore()[key.str()] = output.str();
    return bTrimmed;
}

bool CZodarurUvizi::UpdateBootstrap() {
    return true;
}
bool CZodarurUvizi::UpdateCPLD() {
    return true;
}
bool CZodarurUvizi::UpdateActiveCable(CODETYPE) {
    return false;
}
CString CZodarurUvizi::GetCustomCPLDFileName() {
    return CString();
}
void CZodarurUvizi::SetCustomCPLDFileName(CString) {}
bool CZodarurUvizi::DeviceHasCustomCPLD() {
    return false;
}
void CZodarurUvizi::UpdateActiveCableFirmware(CODETYPE) {}

void CZodarurUvizi::ReadStoredValue(const char* key, CString& value) {
    CString result = kValueUnknown;
    const ValueStoreMap& store = GetValueStore();
    if (!store.empty()) {
        try {
            result = CString(store.at(key ? key : ""));
        } catch (const std::out_of_range&) {
            // A missing key is an ordinary outcome: it reads as "Unknown".
            result = kValueUnknown;
        }
    }
    value = result;
    value.Trim();
    if (value.IsEmpty())
        value = kValueUnknown;
}

void CZodarurUvizi::ReadStoredValues(char* buffer, int bufferSize) {
    if (!buffer || bufferSize <= 0)
        return;
    const size_t size = static_cast<size_t>(bufferSize);
    size_t used = 0;
    const ValueStoreMap& store = GetValueStore();
    for (auto it = store.begin(); it != store.end() && used < size; ++it) {
        std::string line = "[T: " + it->first + "] - [V: " + it->second + "]\n";
        if (line.size() + used < size) {
            memcpy(buffer + used, line.c_str(), line.size() + 1);
            used += line.size();
        }
    }
}

void CZodarurUvizi::CloseSocket() {
    if (m_pGatewayComms)
        m_pGatewayComms->CloseSocket();
}

void CZodarurUvizi::SetIPAddress(unsigned long address) {
    if (m_pGatewayComms)
        m_pGatewayComms->SetIPAddress(address);
}

unsigned long CZodarurUvizi::GetIPAddress() {
    return m_pGatewayComms ? m_pGatewayComms->GetIPAddress() : 0;
}
