#include "zodaruruvizi/devices/tarvikiiutils.h"

CTarvikIIUtils::CTarvikIIUtils() = default;
CTarvikIIUtils::~CTarvikIIUtils() = default;

void CTarvikIIUtils::RequestSerialNumber() {}
void CTarvikIIUtils::ResetDevice() {}
void CTarvikIIUtils::SendSerialNumberText(CString) {}
bool CTarvikIIUtils::RenameFile(CODETYPE, bool) {
    return true;
}
CString CTarvikIIUtils::GetFilename(CODETYPE, bool) {
    return CString();
}
bool CTarvikIIUtils::GetVersionFromFile(CString, CString&) {
    return true;
}
bool CTarvikIIUtils::GetReleaseIds(bool, bool) {
    return true;
}
bool CTarvikIIUtils::TrimReleaseId(CString, CString&) {
    return true;
}
CString CTarvikIIUtils::GetReleaseKey(CODETYPE) {
    return CString();
}
CString CTarvikIIUtils::GetUntrimmedReleaseKey(CODETYPE) {
    return CString();
}
bool CTarvikIIUtils::UpdatePROM() {
    return true;
}
bool CTarvikIIUtils::UpdateLC() {
    return true;
}
bool CTarvikIIUtils::IsCodeTypeSupported(CODETYPE) {
    return true;
}
