// The identity record file's new content for arbitrary existing contents
// (long lines, no line ends, zero bytes, CR LF) and arbitrary device text,
// against a model written apart from the library: every earlier record that
// the rewrite has no reason to drop is still there, in its order, the device's
// record stands once in place of its earlier lines or at the end, and no text
// of the device adds a line.
//
// Input: the device's serial number (a length byte and that many bytes), a
// byte choosing the line end and the LC release's length, that many bytes of
// LC release, then the file's existing contents.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_env.h"
#include "zodaruruvizi/devices/identityrecords.h"

namespace {

void Fail(const char* what) {
    zrfuzz::Fail("records_fuzz", what);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b]))
        ++b;
    while (e > b && IsSpace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::vector<std::string> Lines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        if (nl == std::string::npos)
            nl = content.size();
        lines.push_back(content.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// A field compares as a C string: up to its first zero byte, as the library
// reads it.
bool EqualsUnknown(const std::string& whole) {
    static const char kUnknown[] = "unknown";
    const std::string field = whole.substr(0, whole.find('\0'));
    if (field.size() != 7)
        return false;
    for (size_t i = 0; i < 7; ++i) {
        char c = field[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != kUnknown[i])
            return false;
    }
    return true;
}

bool AllFieldsUnknown(const std::string& line) {
    size_t start = 0;
    for (;;) {
        size_t comma = line.find(',', start);
        if (!EqualsUnknown(line.substr(
                start, comma == std::string::npos ? std::string::npos : comma - start))) {
            return false;
        }
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

std::string Spaced(std::string s) {
    for (char& c : s) {
        if (c == '\n' || c == '\r' || c == '\0')
            c = ' ';
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string serial = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 40));
    const uint8_t choice = in.ConsumeIntegral<uint8_t>();
    const std::string lineEnd = (choice & 1) ? "\r\n" : "\n";
    const std::string lc = in.ConsumeBytesAsString(choice >> 3);
    const std::string before = in.ConsumeRemainingBytesAsString();

    // A serial number that reads "Unknown" places no record.
    const bool noRecord = EqualsUnknown(serial);
    const std::string_view fields[6] = {serial, lc, "R1", "R1", "Unknown", "Unknown"};
    const std::string record = noRecord ? std::string() : MakeIdentityRecord(fields);
    const std::string modelRecord = Spaced(serial + "," + lc + ",R1,R1,Unknown,Unknown");
    if (!noRecord && record != modelRecord)
        Fail("device text changed other than its line breaks and zero bytes");
    int dropped = -1;
    const std::string after = RewriteIdentityRecords(
        before, std::string_view(record).substr(0, serial.size()), record, lineEnd, &dropped);

    // Expected: the kept lines, with the device's record in place of every
    // line holding its serial number, or at the end.
    std::vector<std::string> expected;
    bool replaced = false;
    int unknownLines = 0;
    const std::string spacedSerial = Spaced(serial);
    for (const std::string& raw : Lines(before)) {
        const std::string line = Trimmed(raw);
        if (line.empty())
            continue;
        if (AllFieldsUnknown(line)) {
            ++unknownLines;
            continue;
        }
        if (noRecord || line.find(spacedSerial) == std::string::npos) {
            expected.push_back(line);
        } else {
            expected.push_back(modelRecord);
            replaced = true;
        }
    }
    if (!replaced && !noRecord)
        expected.push_back(modelRecord);
    std::string content;
    for (const std::string& line : expected)
        content += line + lineEnd;
    if (after != content) {
        fprintf(stderr, "before:\n%s\nafter:\n%s\nexpected:\n%s\n", before.c_str(), after.c_str(),
                content.c_str());
        Fail("records lost, reordered or changed");
    }
    if (dropped != unknownLines)
        Fail("lines of nothing but Unknown miscounted");
    return 0;
}
