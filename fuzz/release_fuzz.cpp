// Release comparison, trimming by both families' rules, the release marker
// reader on arbitrary file contents, and the whole check on arbitrary
// value-store contents and firmware files.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_env.h"
#include "zodaruruvizi/checks/gatewaychecks.h"
#include "zodaruruvizi/devices/sollumutils.h"
#include "zodaruruvizi/devices/tarvikutils.h"
#include "zodaruruvizi/devices/valuestore.h"

class CGatewayChecksTestAccess {
public:
    explicit CGatewayChecksTestAccess(CGatewayChecks& checks) : c_(checks) {}
    DIFFTYPE Compare(const CString& device, const CString& file) {
        return c_.CompareGatewayReleaseID(device, file);
    }

private:
    CGatewayChecks& c_;
};

namespace {

using zrfuzz::Env;

void Fail(const char* what) {
    zrfuzz::Fail("release_fuzz", what);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void FuzzCompare(FuzzedDataProvider& in) {
    static CGatewayChecks checks("ZEL");
    CGatewayChecksTestAccess access(checks);
    const CString a(in.ConsumeRandomLengthString(64));
    const CString b(in.ConsumeRandomLengthString(64));
    if (access.Compare(a, a) != DT_SAME)
        Fail("a release differs from itself");
    const DIFFTYPE ab = access.Compare(a, b);
    const DIFFTYPE ba = access.Compare(b, a);
    const bool consistent = (ab == DT_SAME && ba == DT_SAME) ||
                            (ab == DT_OLDER && ba == DT_NEWER) ||
                            (ab == DT_NEWER && ba == DT_OLDER);
    if (!consistent)
        Fail("comparison is not antisymmetric");
}

void FuzzTrim(FuzzedDataProvider& in) {
    static CTarvikUtils tarvik(nullptr);
    static CSollumUtils sollum(nullptr);
    const std::string raw = in.ConsumeRandomLengthString(160);

    CString out("(untouched)");
    if (tarvik.TrimReleaseId(CString(raw), out)) {
        const std::string t = out.str();
        if (raw.find("CPOD_") == std::string::npos)
            Fail("short form without CPOD_");
        if (t.empty() || !(t[0] == 'R' || t.compare(0, 2, "ER") == 0))
            Fail("short form not R/ER");
        if (t.find('_') != std::string::npos || !EndsWith(raw, "_" + t))
            Fail("not the last segment");
    } else if (out.str() != raw) {
        Fail("Tarvik rule changed a text it did not trim");
    }

    out = "(untouched)";
    if (sollum.TrimReleaseId(CString(raw), out)) {
        const size_t marker = raw.find("Release ");
        if (marker == std::string::npos)
            Fail("short form without the marker");
        if (out.str() != "R" + raw.substr(marker + 8))
            Fail("not R and the text after the marker");
    } else if (out.str() != "(untouched)") {
        Fail("Sollum rule touched the result without trimming");
    }

    // Storing either way leaves a trimmed, non-empty value.
    for (CZodarurUvizi* utils :
         {static_cast<CZodarurUvizi*>(&tarvik), static_cast<CZodarurUvizi*>(&sollum)}) {
        utils->SetStoredValue("Fuzz_Key", CString(raw), true);
        const std::string stored = GetValueStore()["Fuzz_Key"];
        if (stored.empty() || IsSpace(stored.front()) || IsSpace(stored.back())) {
            Fail("stored value empty or not trimmed");
        }
    }
    GetValueStore().clear();
}

void FuzzMarkerReader(FuzzedDataProvider& in) {
    static CGatewayFileUtils files;
    const std::string content = in.ConsumeRemainingBytesAsString();
    Env().software.Write("tarvik_lc.bin", content);
    CString version("(untouched)");
    if (!files.GetTarvikVersionFromFile("tarvik_lc.bin", version)) {
        if (version.str() != "(untouched)")
            Fail("failed read touched the version");
        return;
    }
    const std::string v = version.str();
    if (v.empty() || v.size() > 127)
        Fail("release empty or too long");
    if (IsSpace(v.front()) || IsSpace(v.back()))
        Fail("release not trimmed");
    if (v.find_first_of(std::string("\0\r\n", 3)) != std::string::npos)
        Fail("release crosses a line");
    const size_t marker = content.find("@(#)RELEASE=");
    if (marker == std::string::npos || marker >= 1024 * 1024)
        Fail("release without a marker");
    const size_t at = content.find(v, marker + 12);
    if (at == std::string::npos || at > marker + 12 + 127)
        Fail("release not after the marker");
}

const char* const kKeys[] = {
    "Tarvik_Release_Untrimmed",
    "Tarvik_PROM_Release_Untrimmed",
    "Tarvik_Bootstrap_Release_Untrimmed",
    "Tarvik_CPLD_Release_Untrimmed",
    "Tarvik_MAC_Firmware_Release_Untrimmed",
    "Tarvik_R318_Firmware_Release_Untrimmed",
    "Sollum_Release_Untrimmed",
    "Sollum_PROM_Release_Untrimmed",
    "Tarvik_Release",
    "Sollum_Release",
};
const char* const kFiles[] = {
    "tarvik_lc.bin",  "tarvik_prom.bin", "tarvik_bootstrap.bin", "tessan_cable.hex",
    "r318_cable.hex", "sollum_lc.bin",   "sollum_prom.bin",
};

void FuzzChecks(FuzzedDataProvider& in) {
    static CGatewayChecks zel("ZEL");
    static CGatewayChecks mir("MIR");
    const bool bZel = in.ConsumeBool();
    CGatewayChecks& checks = bZel ? zel : mir;

    GetValueStore().clear();
    const int entries = in.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < entries; ++i) {
        const std::string key =
            in.ConsumeBool()
                ? std::string(
                      kKeys[in.ConsumeIntegralInRange<size_t>(0, sizeof kKeys / sizeof *kKeys - 1)])
                : in.ConsumeRandomLengthString(24);
        GetValueStore()[key] = in.ConsumeRandomLengthString(48);
    }
    for (const char* name : kFiles) {
        const std::string path = Env().software.File(name);
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0:
                std::remove(path.c_str());
                break;
            case 1:
                Env().software.Write(name,
                                     "\x7f"
                                     "ELF@(#)RELEASE=" +
                                         in.ConsumeRandomLengthString(48));
                break;
            default:
                Env().software.Write(name, in.ConsumeRandomLengthString(96));
                break;
        }
    }
    if (in.ConsumeBool())
        Env().software.Write("custom_cpld.txt", in.ConsumeRandomLengthString(32));
    else
        std::remove(Env().software.File("custom_cpld.txt").c_str());

    CCodeDiffResults first = checks.PerformAllChecks();
    CCodeDiffResults second = checks.PerformAllChecks();
    const DIFFTYPE fields[] = {first.m_LC,   first.m_PROM, first.m_BS,
                               first.m_CPLD, first.m_MAC,  first.m_R318};
    for (DIFFTYPE d : fields) {
        if (d < DT_SAME || d > DT_FORCED)
            Fail("result out of range");
    }
    if (CString(first.ToString()) != CString(second.ToString()))
        Fail("checks are not repeatable");
    if (!bZel && (first.m_BS != DT_SAME || first.m_CPLD != DT_SAME || first.m_MAC != DT_SAME ||
                  first.m_R318 != DT_SAME)) {
        Fail("unsupported component of the measurement module differs");
    }

    // The dump into a guarded buffer of any size.
    const int room = in.ConsumeIntegralInRange(0, 1200);
    std::vector<char> area(size_t(room) + 64, '\x5a');
    checks.ReadStoredValues(area.data() + 32, room);
    for (size_t i = 0; i < 32; ++i) {
        if (area[i] != '\x5a' || area[32 + size_t(room) + i] != '\x5a')
            Fail("dump overran");
    }
    if (room > 0 && area[32] != '\x5a' && memchr(area.data() + 32, 0, size_t(room)) == nullptr) {
        Fail("dump not terminated");
    }
    GetValueStore().clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Env();
    if (size == 0)
        return 0;
    FuzzedDataProvider in(data + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            FuzzCompare(in);
            break;
        case 1:
            FuzzTrim(in);
            break;
        case 2:
            FuzzMarkerReader(in);
            break;
        default:
            FuzzChecks(in);
            break;
    }
    return 0;
}
