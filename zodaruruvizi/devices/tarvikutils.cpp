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

// The identity record file is handled as the bytes it stores, line by line in
// place: a file of many records costs no allocation and no system call per
// record, and the bytes that a rewrite would not change are not written again.

bool IsRecordSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Calls take(begin, end) for every line of [p, end), white space trimmed, that
// is not empty.
template <typename Take>
void ForEachKeptLine(const char* p, const char* const end, Take take) {
    while (p < end) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* b = p;
        const char* e = nl ? nl : end;
        while (b < e && IsRecordSpace(*b))
            ++b;
        while (e > b && IsRecordSpace(e[-1]))
            --e;
        if (b < e)
            take(b, e);
        p = nl ? nl + 1 : end;
    }
}

// True when the field, compared as a C string, is "Unknown" in any letter case.
bool IsUnknownField(const char* b, const char* e) {
    const char* nul = static_cast<const char*>(memchr(b, '\0', static_cast<size_t>(e - b)));
    if (nul)
        e = nul;
    const size_t length = strlen(kValueUnknown);
    if (static_cast<size_t>(e - b) != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char c = b[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        char u = kValueUnknown[i];
        if (u >= 'A' && u <= 'Z')
            u = static_cast<char>(u - 'A' + 'a');
        if (c != u)
            return false;
    }
    return true;
}

// True when every comma-separated field of the line is "Unknown" in any case.
bool AllFieldsUnknown(const char* b, const char* e) {
    if (*b != 'u' && *b != 'U')
        return false;  // the common case, at once
    for (;;) {
        const char* comma = static_cast<const char*>(memchr(b, ',', static_cast<size_t>(e - b)));
        if (!IsUnknownField(b, comma ? comma : e))
            return false;
        if (!comma)
            return true;
        b = comma + 1;
    }
}

// Finds a text in the lines of a block, one pass over the block for all of
// them: lines are asked in their order.
class Occurrences {
public:
    Occurrences(const char* end, std::string_view text)
        : m_End(end), m_Text(text), m_Next(nullptr) {}

    // True when the text stands within [b, e); b is not before an earlier b.
    bool Within(const char* b, const char* e) {
        if (m_Text.empty())
            return true;
        if (!m_Next || m_Next < b)
            m_Next = Find(b);
        return m_Next <= e && static_cast<size_t>(e - m_Next) >= m_Text.size();
    }

private:
    // The first place at or after p where the text starts; m_End when none.
    const char* Find(const char* p) const {
        const size_t n = m_Text.size();
        while (static_cast<size_t>(m_End - p) >= n) {
            p = static_cast<const char*>(
                memchr(p, m_Text[0], static_cast<size_t>(m_End - p) - n + 1));
            if (!p)
                break;
            if (memcmp(p + 1, m_Text.data() + 1, n - 1) == 0)
                return p;
            ++p;
        }
        return m_End;
    }

    const char* m_End;
    std::string_view m_Text;
    const char* m_Next;
};

// The rest of an open file, as stored. The buffer is not cleared first: the
// file's bytes fill it.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    const char* begin() const { return data.get(); }
    const char* end() const { return data.get() + size; }
};

FileBytes ReadRest(CFile& file) {
    FileBytes bytes;
    size_t capacity = static_cast<size_t>(file.GetLength()) + 1;
    bytes.data.reset(new char[capacity]);
    for (;;) {
        if (bytes.size == capacity) {  // the file grew while being read
            std::unique_ptr<char[]> larger(new char[2 * capacity]);
            memcpy(larger.get(), bytes.data.get(), bytes.size);
            bytes.data = std::move(larger);
            capacity *= 2;
        }
        const UINT room = static_cast<UINT>(std::min<size_t>(capacity - bytes.size, 1u << 30));
        const UINT n = file.Read(bytes.data.get() + bytes.size, room);
        bytes.size += n;
        if (n < room)  // Read fills the room unless the file ends first
            break;
    }
    return bytes;
}

// Writes every byte at the file's position.
void WriteAll(CFile& file, std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t n = std::min<size_t>(bytes.size(), 1u << 30);
        file.Write(bytes.data(), static_cast<UINT>(n));
        bytes.remove_prefix(n);
    }
}

// The new content of the file as a list of byte ranges: runs of the old
// content that stay as they are, and the pieces that replace the rest.
class Pieces {
public:
    void Add(const char* p, size_t n) {
        if (n == 0)
            return;
        if (!m_List.empty() && m_List.back().data() + m_List.back().size() == p) {
            m_List.back() = std::string_view(m_List.back().data(), m_List.back().size() + n);
        } else {
            m_List.emplace_back(p, n);
        }
        m_Size += n;
    }
    size_t Size() const { return m_Size; }

    // The length of the longest common start of the pieces and old.
    size_t CommonStart(std::string_view old) const {
        size_t at = 0;
        for (const std::string_view& piece : m_List) {
            const size_t length = std::min(piece.size(), old.size() - at);
            if (piece.data() != old.data() + at &&
                memcmp(piece.data(), old.data() + at, length) != 0) {
                size_t i = 0;
                while (piece[i] == old[at + i])
                    ++i;
                return at + i;
            }
            at += length;
            if (at == old.size())
                break;
        }
        return at;
    }

    // The length of the longest common end of the pieces and old.
    size_t CommonEnd(std::string_view old) const {
        size_t at = 0;  // bytes matched, counted from the end
        for (auto it = m_List.rbegin(); it != m_List.rend(); ++it) {
            const size_t length = std::min(it->size(), old.size() - at);
            const char* mine = it->data() + it->size() - length;
            const char* theirs = old.data() + old.size() - at - length;
            if (mine != theirs && memcmp(mine, theirs, length) != 0) {
                size_t i = 0;
                while (mine[length - 1 - i] == theirs[length - 1 - i])
                    ++i;
                return at + i;
            }
            at += length;
            if (at == old.size())
                break;
        }
        return at;
    }

    // Writes the bytes [from, to) of the content at the file's position. Short
    // pieces are gathered, so that a file of many changed lines costs few
    // writes.
    void Write(CFile& file, size_t from, size_t to) const {
        std::string gathered;
        const auto flush = [&] {
            WriteAll(file, gathered);
            gathered.clear();
        };
        size_t at = 0;
        for (std::string_view piece : m_List) {
            const size_t start = at;
            at += piece.size();
            if (at <= from)
                continue;
            if (start >= to)
                break;
            if (start < from)
                piece.remove_prefix(from - start);
            if (at > to)
                piece.remove_suffix(at - to);
            if (piece.size() >= kGatherLimit) {
                flush();
                WriteAll(file, piece);
            } else {
                gathered.append(piece.data(), piece.size());
                if (gathered.size() >= kGatherLimit)
                    flush();
            }
        }
        flush();
    }

private:
    static constexpr size_t kGatherLimit = 65536;

    std::vector<std::string_view> m_List;
    size_t m_Size = 0;
};

// The side copy ("Tarvik_Serial_Nums.txt.saved") keeps, while a rewrite
// changes the file, the bytes it overwrites: a rewrite stopped part-way (a
// failed write, the process ended) loses nothing, since the next one puts
// them back first. It stays between rewrites and is written over rather than
// created anew. Layout: a head of kHeadSize bytes,
//   "<state> <offset> <length> <size>\n"
// with state 'V' (it holds bytes to put back) or '-' (it holds nothing) and
// each number in 15 decimal digits; then the kept bytes. The kept bytes are
// the file's bytes [offset, offset + length) of a file of size bytes; the
// file's other bytes below size are not written while they are kept.
class SideCopy {
public:
    struct Kept {
        size_t offset = 0;
        size_t size = 0;
        std::string bytes;
    };

    SideCopy() : m_bOpen(false) {}
    ~SideCopy() {
        if (m_bOpen)
            m_File.Abort();
    }
    SideCopy(const SideCopy&) = delete;
    SideCopy& operator=(const SideCopy&) = delete;

    void At(const CString& path) { m_Path = path; }

    // Opens the side copy when there is one; false when there is none.
    // Throws CFileException* when it is there but cannot be opened.
    bool OpenExisting() {
        CFileException error;
        if (m_File.Open(m_Path, CFile::modeReadWrite | CFile::shareExclusive | CFile::typeBinary,
                        &error)) {
            m_bOpen = true;
            return true;
        }
        if (error.m_cause == CFileException::fileNotFound)
            return false;
        AfxThrowFileException(error.m_cause, error.m_lOsError, m_Path);
    }

    // True, with what it holds, when the open side copy holds bytes to put
    // back; false when it holds nothing or does not have the layout above.
    bool ReadKept(Kept& kept) {
        char head[kHeadSize];
        m_File.SeekToBegin();
        if (m_File.Read(head, kHeadSize) != kHeadSize || head[0] != 'V' ||
            head[kHeadSize - 1] != '\n')
            return false;
        size_t numbers[3];
        for (int i = 0; i < 3; ++i) {
            const char* p = head + 1 + i * (1 + kDigits);
            if (*p != ' ')
                return false;
            unsigned long long value = 0;  // 15 digits fit; a size_t may not
            for (int d = 1; d <= kDigits; ++d) {
                if (p[d] < '0' || p[d] > '9')
                    return false;
                value = value * 10 + static_cast<unsigned>(p[d] - '0');
            }
            if (value > static_cast<unsigned long long>(SIZE_MAX))
                return false;
            numbers[i] = static_cast<size_t>(value);
        }
        kept.offset = numbers[0];
        kept.size = numbers[2];
        if (numbers[1] > kept.size || kept.offset > kept.size - numbers[1])
            return false;
        kept.bytes.resize(numbers[1]);
        size_t done = 0;
        while (done < kept.bytes.size()) {
            const UINT n = m_File.Read(&kept.bytes[done], static_cast<UINT>(std::min<size_t>(
                                                              kept.bytes.size() - done, 1u << 30)));
            if (n == 0)
                return false;
            done += n;
        }
        return true;
    }

    // Keeps the bytes [offset, offset + length) of a file of size bytes: the
    // bytes first, then the head, then its state, in one byte, that makes
    // them count.
    void Keep(size_t offset, const char* bytes, size_t length, size_t size) {
        if (!m_bOpen) {
            CFileException error;
            if (!m_File.Open(m_Path,
                             CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite |
                                 CFile::shareExclusive | CFile::typeBinary,
                             &error)) {
                AfxThrowFileException(error.m_cause, error.m_lOsError, m_Path);
            }
            m_bOpen = true;
        }
        m_File.Seek(kHeadSize, CFile::begin);
        WriteAll(m_File, std::string_view(bytes, length));
        char head[kHeadSize];
        head[0] = '-';
        const size_t numbers[3] = {offset, length, size};
        for (int i = 0; i < 3; ++i) {
            char* p = head + 1 + i * (1 + kDigits);
            *p = ' ';
            size_t value = numbers[i];
            for (int d = kDigits; d >= 1; --d, value /= 10)
                p[d] = static_cast<char>('0' + value % 10);
        }
        head[kHeadSize - 1] = '\n';
        m_File.SeekToBegin();
        m_File.Write(head, kHeadSize);
        m_File.SeekToBegin();
        m_File.Write("V", 1);
    }

    // Marks the side copy as holding nothing.
    void Clear() {
        m_File.SeekToBegin();
        m_File.Write("-", 1);
    }

    void Close() {
        if (!m_bOpen)
            return;
        m_bOpen = false;
        m_File.Close();
    }

private:
    static constexpr int kDigits = 15;
    static constexpr UINT kHeadSize = 1 + 3 * (1 + kDigits) + 1;

    CString m_Path;
    CFile m_File;
    bool m_bOpen;
};

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

    // Without a serial number there is no record to place: the substring rule
    // would match every line holding an "Unknown" field and replace other
    // devices' records.
    if (serial.CompareNoCase(kValueUnknown) == 0)
        return;

    // The file is handled as the bytes it stores: lines end in the system's
    // text line end, which the rewrite writes itself, and only the bytes that
    // change are written.
    const std::string_view lineEnd = CStdioFile::StoredLineEnd();
    CString record;
    record.Format("%s,%s,%s,%s,%s,%s", serial.GetString(), lc.GetString(), prom.GetString(),
                  bootstrap.GetString(), mac.GetString(), usbMac.GetString());

    CFile file;
    bool bOpened = false;
    SideCopy side;
    FileBytes read;
    std::string restored;
    std::string_view stored;  // the file's content when the rewrite began
    size_t from = 0;          // the bytes [from, to) of stored are being written over
    size_t to = 0;
    enum { kWritingNothing, kAppending, kReplacing } writing = kWritingNothing;

    // After a failure while writing: an append is cut off, replaced bytes are
    // put back from memory (or, failing that, stay in the side copy for the
    // next rewrite to put back).
    const auto undo = [&] {
        if (!bOpened)
            return;
        try {
            if (writing == kAppending) {
                file.SetLength(stored.size());
            } else if (writing == kReplacing) {
                file.Seek(static_cast<LONGLONG>(from), CFile::begin);
                WriteAll(file, stored.substr(from, to - from));
                file.SetLength(stored.size());
                side.Clear();
            }
        } catch (CFileException* again) {
            again->Delete();
        }
        file.Abort();
    };

    try {
        CString logDir;
        CSystemInfo::GetLogFilesPath(logDir);
        CString path;
        path.Format("%s%s%s", logDir.GetString(), "\\", TARVIK_SERIAL_NUMS_FILE);
        CString savedPath;
        savedPath.Format("%s%s%s", logDir.GetString(), "\\", TARVIK_SERIAL_NUMS_SAVED_FILE);

        CFileException error;
        if (!file.Open(path,
                       CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite |
                           CFile::shareDenyWrite | CFile::typeBinary,
                       &error)) {
            AfxThrowFileException(error.m_cause, error.m_lOsError, path);
        }
        bOpened = true;
        read = ReadRest(file);
        stored = std::string_view(read.begin(), read.size);

        // An earlier rewrite that stopped part-way left bytes in the side
        // copy: they go back first.
        side.At(savedPath);
        SideCopy::Kept kept;
        if (side.OpenExisting() && side.ReadKept(kept)) {
            const size_t n = stored.size();
            const size_t a = std::min(kept.offset, n);
            const size_t b = std::min(kept.offset + kept.bytes.size(), n);
            const size_t c = std::min(kept.size, n);
            restored.reserve(a + kept.bytes.size() + (c - b));
            restored.append(stored.data(), a);
            restored += kept.bytes;
            restored.append(stored.data() + b, c - b);
            file.Seek(static_cast<LONGLONG>(a), CFile::begin);
            WriteAll(file, std::string_view(restored).substr(a));
            file.SetLength(restored.size());
            side.Clear();
            stored = restored;
        }

        // The new content: every kept line in its order, the device's record
        // in place of its line (or at the end), lines of nothing but "Unknown"
        // dropped. A line already stored trimmed and with the line end stays
        // a range of the stored bytes.
        const char* const end = stored.data() + stored.size();
        Occurrences serialAt(end, std::string_view(serial.GetString()));
        Pieces content;
        bool bAppend = true;
        ForEachKeptLine(stored.data(), end, [&](const char* b, const char* e) {
            if (AllFieldsUnknown(b, e)) {
                MonPrintfEx(kChannelError,
                            "CTarvikUtils::StoreTarvikSerialNumToFile>> Ignoring invalid serial "
                            "number");
                return;
            }
            if (serialAt.Within(b, e)) {
                content.Add(record.GetString(), static_cast<size_t>(record.GetLength()));
                content.Add(lineEnd.data(), lineEnd.size());
                bAppend = false;
                return;
            }
            const size_t length = static_cast<size_t>(e - b);
            if (static_cast<size_t>(end - e) >= lineEnd.size() && e[0] == lineEnd[0] &&
                (lineEnd.size() == 1 || e[1] == lineEnd[1])) {
                content.Add(b, length + lineEnd.size());
            } else {
                content.Add(b, length);
                content.Add(lineEnd.data(), lineEnd.size());
            }
        });
        if (bAppend) {
            content.Add(record.GetString(), static_cast<size_t>(record.GetLength()));
            content.Add(lineEnd.data(), lineEnd.size());
        }

        from = content.CommonStart(stored);
        if (from == stored.size() && content.Size() > stored.size()) {
            writing = kAppending;
            file.Seek(static_cast<LONGLONG>(from), CFile::begin);
            content.Write(file, from, content.Size());
        } else if (from < stored.size() || content.Size() < stored.size()) {
            // Bytes are written over: they are kept in the side copy first. A
            // content of the same size is written only up to its last change.
            to = stored.size();
            size_t writeTo = content.Size();
            if (content.Size() == stored.size()) {
                to -= content.CommonEnd(stored);
                writeTo = to;
            }
            side.Keep(from, stored.data() + from, to - from, stored.size());
            writing = kReplacing;
            file.Seek(static_cast<LONGLONG>(from), CFile::begin);
            content.Write(file, from, writeTo);
            if (content.Size() < stored.size())
                file.SetLength(content.Size());
            side.Clear();
        }
        writing = kWritingNothing;
        side.Close();
        file.Close();
        bOpened = false;
    } catch (CFileException* e) {
        MonPrintfEx(kChannelError,
                    "CTarvikUtils::StoreTarvikSerialNumToFile - Encountered problems: %d",
                    e->m_cause);
        undo();
        e->Delete();
    } catch (...) {
        MonPrintfEx(kChannelError,
                    "CTarvikUtils::StoreTarvikSerialNumToFile - Unknown exception caught.");
        undo();
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
