// A host program built against the installed package only. It expects a
// simulated first-generation device at argv[1] (port 9191) and a simulated
// measurement module at argv[2] (port 9181), GATEWAY_SOFTWARE_DIR and
// GATEWAY_LOG_DIR set, and firmware on the PC newer than the devices' LC.
#include <stdio.h>

#include <string>

#include "zodaruruvizi/zodaruruvizi.h"

namespace {

int failures = 0;

void Expect(bool condition, const std::string& what) {
    printf("%s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    failures += condition ? 0 : 1;
}

// The transport alone: one query to the device and its reply.
void RawQuery(const char* address) {
    WSADATA data;
    Expect(WSAStartup(MAKEWORD(2, 0), &data) == 0, "WSAStartup");
    {
        CGatewayComms comms(9191);
        comms.SetIPAddress(inet_addr(address));
        CSubStream stream;
        char buffer[128] = {0};
        DWORD length = sizeof buffer, status = 0;
        VSI_GetSerialNumber(stream, 0x80000000, &length, buffer, 0, &status);
        Expect(comms.OpenSocket() && comms.ExecuteSubCommand(stream, 10000), "query answered");
        Expect(status == 0 && length > 0 && length < sizeof buffer, "status word 0 and a text");
    }
    WSACleanup();
}

// Check, update the component that needs it, wait, check again: all "Same".
void CheckAndUpdate(const char* family, const char* address) {
    CGatewayChecks checks(family);
    if (address)
        checks.SetAddress(inet_addr(address));
    bool same = false;
    for (int round = 0; round < 8 && !same; ++round) {
        CCodeDiffResults results = checks.CheckForUpdates(true);
        printf("     %s: %s\n", family, results.ToString().GetString());
        same = !results.DifferencesFound();
        if (!same)
            checks.PerformUpdate(results);
        if (!same && !WaitForWorkerThreads(60000))
            break;
    }
    Expect(same, std::string(family) + " converges to all Same");
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
    for (const char* key : {"Tarvik_Release", "Tarvik_SerialNum", "Tarvik_MACAddress"}) {
        CString value;
        zel.ReadStoredValue(key, value);
        Expect(value != "Unknown" && value != "NotConnected", key + (": " + value.str()));
    }
    CheckAndUpdate("ZEL", argv[1]);
    CheckAndUpdate("MIR", argv[2]);
    CheckAndUpdate("Tarvik II", nullptr);

    CString logDir;
    CSystemInfo::GetLogFilesPath(logDir);
    FirmwareDialog dialog;
    Expect(dialog.DoModal() == 1 && dialog.endCode == 1, "dialog ends with the tick button");
    Expect(OX_RenderSvg(dialog.Root(), (std::string(logDir.GetString()) + "/dialog.svg").c_str()),
           "dialog drawn as SVG");
    printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
