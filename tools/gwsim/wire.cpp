// Frame layouts of the sub-stream wire format.
#include "tools/gwsim/wire.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace gwsim {

namespace {

bool MagicOk(const uint8_t* b, size_t n) {
    return n == 0 || (b[0] == kMagic0 && (n < 2 || b[1] == kMagic1));
}

}  // namespace

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace((unsigned char)text[0]))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > limit)
        return false;
    *value = v;
    return true;
}

bool Fail(std::string* error, const std::string& why) {
    if (error)
        *error = why;
    return false;
}

bool ReadTextFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    *text = out.str();
    return bool(in);
}

uint32_t Get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void Put32(Bytes* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back(uint8_t(v >> shift));
}

Bytes EncodeRequest(const RecordedRequest& r) {
    Bytes b = {kMagic0, kMagic1, r.version, r.kind};
    for (uint32_t v : {r.sequence, r.code, r.qualifier, r.room, uint32_t(r.payload.size())})
        Put32(&b, v);
    b.insert(b.end(), r.payload.begin(), r.payload.end());
    return b;
}

Bytes EncodeReply(const Reply& r) {
    Bytes b = {kMagic0, kMagic1, r.version, r.kind};
    for (uint32_t v : {r.sequence, r.status, r.declared})
        Put32(&b, v);
    b.insert(b.end(), r.data.begin(), r.data.end());
    return b;
}

Bytes ReplyFrame(uint8_t request_kind, uint32_t sequence, uint32_t status, const Bytes& data) {
    return EncodeReply(Reply{kProtocolVersion, uint8_t(request_kind | kReplyBit), sequence, status,
                             uint32_t(data.size()), data});
}

RequestFrame ReadRequest(const uint8_t* b, size_t n) {
    RequestFrame f;
    if (!MagicOk(b, n)) {
        f.status = FrameStatus::BadMagic;
        return f;
    }
    if (n < kRequestHeaderSize)
        return f;
    RecordedRequest& r = f.request;
    r.version = b[2];
    r.kind = b[3];
    r.sequence = Get32(b + 4);
    r.code = Get32(b + 8);
    r.qualifier = Get32(b + 12);
    r.room = Get32(b + 16);
    uint32_t length = Get32(b + 20);
    if (length > kMaxRequestPayload) {
        f.status = FrameStatus::Oversized;
        return f;
    }
    if (n < kRequestHeaderSize + length)
        return f;
    r.payload.assign(b + kRequestHeaderSize, b + kRequestHeaderSize + length);
    f.size = kRequestHeaderSize + length;
    f.status = r.version == kProtocolVersion ? FrameStatus::Complete : FrameStatus::BadVersion;
    return f;
}

ReplyFrameRead ReadReplyFrame(const uint8_t* b, size_t n, uint32_t max_data) {
    ReplyFrameRead f;
    if (!MagicOk(b, n)) {
        f.status = FrameStatus::BadMagic;
        return f;
    }
    if (n < kReplyHeaderSize)
        return f;
    Reply& r = f.reply;
    r.version = b[2];
    r.kind = b[3];
    r.sequence = Get32(b + 4);
    r.status = Get32(b + 8);
    r.declared = Get32(b + 12);
    if (r.declared > max_data) {
        f.status = FrameStatus::Oversized;
        return f;
    }
    if (n < kReplyHeaderSize + r.declared)
        return f;
    r.data.assign(b + kReplyHeaderSize, b + kReplyHeaderSize + r.declared);
    f.size = kReplyHeaderSize + r.declared;
    f.status = FrameStatus::Complete;
    return f;
}

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

bool FromHex(const std::string& text, Bytes* bytes) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        c = char(c | 0x20);
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (text.size() % 2 != 0)
        return false;
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi * 16 + lo));
    }
    bytes->swap(out);
    return true;
}

std::string Hex32(uint32_t v, int digits) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%0*X", digits, unsigned(v));
    return b;
}

bool Printable(const Bytes& bytes) {
    for (uint8_t c : bytes) {
        if (c < 0x20 || c >= 0x7F)
            return false;
    }
    return true;
}

std::string DescribeRequest(const RecordedRequest& r) {
    char head[128];
    std::snprintf(head, sizeof head, "kind 0x%02X seq %u code 0x%08X qualifier 0x%08X room %u",
                  unsigned(r.kind), unsigned(r.sequence), unsigned(r.code), unsigned(r.qualifier),
                  unsigned(r.room));
    std::string s = head;
    if (r.version != kProtocolVersion)
        s += " version " + std::to_string(r.version);
    if (r.payload.empty())
        return s;
    size_t end = r.payload.size();
    while (end > 0 && r.payload[end - 1] == 0)
        --end;
    if (!Printable(Bytes(r.payload.begin(), r.payload.begin() + long(end))))
        return s + " payload " + ToHex(r.payload);
    s += " payload \"" + std::string(r.payload.begin(), r.payload.begin() + long(end)) + "\"";
    if (end < r.payload.size())
        s += " + " + std::to_string(r.payload.size() - end) + " zero bytes";
    return s;
}

}  // namespace gwsim
