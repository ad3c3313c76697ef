// A host program built against the installed package only. It expects a
// simulated first-generation device at argv[1] (port 9191) and a simulated
// measurement module at argv[2] (port 9181), GATEWAY_SOFTWARE_DIR and
// GATEWAY_LOG_DIR set, and firmware on the PC newer than the devices' LC.
#include <stdio.h>
#include <string.h>

#include <string>

#include "zodaruruvizi/zodaruruvizi.h"

namespace {

int failures = 0;

void Expect(bool condition, const char* what) {
    printf("%s %s\n", condition ? "ok  " : "FAIL", what);
    if (!condition)
        ++failures;
}

// The transport alone: one query to the device and its reply.
void RawQuery(const char* address) {
    WSADATA data;
    Expect(WSAStartup(MAKEWORD(2, 0), &data) == 0, "WSAStartup");
    {
        CGatewayComms comms(9191);
        comms.SetIPAddress(inet_addr(address));
        Expect(comms.OpenSocket(), "transport connects");
        CSubStream stream;
        char buffer[128] = {0};
        DWORD length = sizeof buffer;
        DWORD status = 0;
        VSI_GetSerialNumber(stream, 0x80000000, &length, buffer, 0, &status);
        Expect(comms.ExecuteSubCommand(stream, 10000), "query answered");
        Expect(status == 0 && length > 0 && length < sizeof buffer, "status word 0 and a text");
        printf("     serial number read by the transport: %.*s\n", static_cast<int>(length),
               buffer);
        comms.CloseSocket();
    }
    WSACleanup();
}

// Check, update the component that needs it, wait, check again: all "Same".
void CheckAndUpdate(const char* family, const char* address) {
    CGatewayChecks checks(family);
    if (address)
        checks.SetAddress(inet_addr(address));
    for (int round = 0; round < 8; ++round) {
        CCodeDiffResults results = checks.CheckForUpdates(true);
        printf("     %s: %s\n", family, results.ToString().GetString());
        if (!results.DifferencesFound()) {
            Expect(true, (std::string(family) + " converges to all Same").c_str());
            return;
        }
        checks.PerformUpdate(results);
        if (!WaitForWorkerThreads(60000))
            break;
    }
    Expect(false, (std::string(family) + " converges to all Same").c_str());
}

// A host dialog derived from the exported tab dialog: the tick ends it with 1.
class FirmwareDialog : public CTabDialog {
public:
    FirmwareDialog() : CTabDialog(400, 240) { SetTitle("Firmware check"); }
    int endCode = 0;
    int Root() const { return m_Root; }

protected:
    void CreateContents() override {
        const OX_ATTR pairs[] = {{63, 16}, {64, 16}, {313, reinterpret_cast<intptr_t>("All Same")}};
        OX_NewWidget(3, m_ContentArea, pairs, 3);
        OX_PostPress(m_TickButton);
    }
    void OnEndDialog(int code) override { endCode = code; }
};

void RunDialog(const char* svgPath) {
    FirmwareDialog dialog;
    Expect(dialog.DoModal() == 1 && dialog.endCode == 1, "dialog ends with the tick button");
    Expect(OX_RenderSvg(dialog.Root(), svgPath), "dialog drawn as SVG");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: consumer ZEL-ADDRESS MIR-ADDRESS\n");
        return 2;
    }
    RawQuery(argv[1]);

    CGatewayChecks zel("ZEL");
    zel.SetAddress(inet_addr(argv[1]));
    Expect(zel.SetReleaseIds(true, false), "first-generation device read");
    const char* keys[] = {
        "Tarvik_Release",      "Tarvik_PROM_Release",         "Tarvik_Bootstrap_Release",
        "Tarvik_CPLD_Release", "Tarvik_MAC_Firmware_Release", "Tarvik_SerialNum",
        "Tarvik_MACAddress",   "Tarvik_USBMACAddress"};
    for (const char* key : keys) {
        CString value;
        zel.ReadStoredValue(key, value);
        printf("     %-30s %s\n", key, value.GetString());
        Expect(value != "Unknown" && value != "NotConnected", key);
    }
    CString logDir;
    CSystemInfo::GetLogFilesPath(logDir);
    CStdioFile records;
    Expect(records.Open(logDir + "\\Tarvik_Serial_Nums.txt", CFile::modeRead | CFile::typeText),
           "identity record file exists");
    CString line;
    CString serial;
    zel.ReadStoredValue("Tarvik_SerialNum", serial);
    Expect(records.ReadString(line) && line.Find(serial) == 0, "its line starts with the serial");
    records.Close();

    CheckAndUpdate("ZEL", argv[1]);
    CheckAndUpdate("MIR", argv[2]);
    CheckAndUpdate("Tarvik II", nullptr);
    RunDialog((std::string(logDir.GetString()) + "/dialog.svg").c_str());

    printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
