// Fault specifications as the command line gives them.
#include "tools/gwsim/simulator.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace gwsim {

namespace {

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

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

}  // namespace

bool ParseFault(const std::string& spec, Fault* fault, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "fault \"" + spec + "\": " + why;
        return false;
    };
    Fault f;
    size_t colon = spec.find(':');
    std::string kind = spec.substr(0, colon);
    if (kind == "status") {
        f.kind = FaultKind::Status;
    } else if (kind == "noreply") {
        f.kind = FaultKind::NoReply;
    } else if (kind == "split") {
        f.kind = FaultKind::Split;
    } else if (kind == "late") {
        f.kind = FaultKind::LateReplyFirst;
    } else if (kind == "garbage") {
        f.kind = FaultKind::GarbageFirst;
    } else if (kind == "oversize") {
        f.kind = FaultKind::Oversized;
    } else if (kind == "closemid") {
        f.kind = FaultKind::CloseMidReply;
    } else {
        return fail("unknown kind \"" + kind + "\"");
    }
    std::string rest = colon == std::string::npos ? "" : spec.substr(colon + 1);
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t comma = rest.find(',', pos);
        if (comma == std::string::npos)
            comma = rest.size();
        std::string item = rest.substr(pos, comma - pos);
        pos = comma + 1;
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            return fail("expected key=value, got \"" + item + "\"");
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        uint64_t n = 0;
        auto number = [&](uint64_t limit) {
            if (!ParseNumber(value, limit, &n))
                return false;
            return true;
        };
        if (key == "code" && number(0xFFFFFFFF)) {
            f.code = static_cast<uint32_t>(n);
        } else if (key == "qualifier" && number(0xFFFFFFFF)) {
            f.qualifier = static_cast<uint32_t>(n);
        } else if (key == "kind" && number(0xFF)) {
            f.request_kind = static_cast<uint8_t>(n);
        } else if (key == "times") {
            if (value == "always") {
                f.times = -1;
            } else if (number(1000000000)) {
                f.times = static_cast<int>(n);
            } else {
                return fail("bad times \"" + value + "\"");
            }
        } else if (key == "status" && number(0xFFFFFFFF)) {
            f.status = static_cast<uint32_t>(n);
        } else if (key == "data") {
            f.data = std::vector<uint8_t>(value.begin(), value.end());
        } else if (key == "hexdata") {
            std::vector<uint8_t> bytes;
            if (!ParseHex(value, &bytes))
                return fail("bad hex \"" + value + "\"");
            f.data = bytes;
        } else if (key == "size" && number(1000000) && n > 0) {
            f.segment_size = static_cast<size_t>(n);
        } else if (key == "pause" && number(600000)) {
            f.pause_ms = static_cast<int>(n);
        } else if (key == "bytes") {
            if (!ParseHex(value, &f.garbage) || f.garbage.empty())
                return fail("bad hex \"" + value + "\"");
        } else if (key == "mode") {
            if (value == "declared") {
                f.oversize = OversizeMode::DeclaredTooLong;
            } else if (value == "room") {
                f.oversize = OversizeMode::MoreThanRoom;
            } else {
                return fail("mode must be declared or room");
            }
        } else if (key == "length" && number(0xFFFFFFFF) && n > kMaxReplyData) {
            f.oversize_length = static_cast<uint32_t>(n);
        } else if (key == "extra" && number(1000000) && n > 0) {
            f.extra_bytes = static_cast<uint32_t>(n);
        } else if (key == "after" && number(1000000)) {
            f.close_after = static_cast<size_t>(n);
        } else {
            return fail("bad key or value \"" + item + "\"");
        }
    }
    *fault = f;
    return true;
}

bool ParseConnectionFault(const std::string& text, ConnectionFault* fault) {
    if (text == "none") {
        *fault = ConnectionFault::None;
    } else if (text == "refuse") {
        *fault = ConnectionFault::Refuse;
    } else if (text == "hang") {
        *fault = ConnectionFault::NeverComplete;
    } else {
        return false;
    }
    return true;
}

const char* EventTypeName(EventType type) {
    switch (type) {
        case EventType::Connect:
            return "connect";
        case EventType::Close:
            return "close";
        case EventType::Malformed:
            return "malformed";
        case EventType::Reset:
            return "reset";
        case EventType::Update:
            return "update";
        case EventType::Listening:
            return "listening";
        case EventType::NotListening:
            return "not-listening";
        case EventType::Fault:
            return "fault";
    }
    return "?";
}

}  // namespace gwsim
