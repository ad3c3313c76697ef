// Fault specifications as the command line gives them.
#include "tools/gwsim/simulator.h"

#include <algorithm>

namespace gwsim {

namespace {

const int kDefaultSplitPauseMs = 20;
const int kDefaultGarbagePauseMs = 1000;

}  // namespace

const char* const kKinds[] = {"status",  "noreply",  "split",   "late",
                              "garbage", "oversize", "closemid"};  // FaultKind's order

const char* FaultKindName(FaultKind kind) {
    return kKinds[int(kind)];
}

bool ParseFault(const std::string& spec, Fault* fault, std::string* error) {
    auto fail = [&](const std::string& why) {
        return Fail(error, "fault \"" + spec + "\": " + why);
    };
    Fault f;
    size_t colon = spec.find(':');
    std::string kind = spec.substr(0, colon);
    int known = NameIndex(kKinds, kind);
    if (known < 0)
        return fail("unknown kind \"" + kind + "\"");
    f.kind = FaultKind(known);
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
        auto number = [&](uint64_t limit) { return ParseNumber(value, limit, &n); };
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
            if (!FromHex(value, &f.data.emplace()))
                return fail("bad hex \"" + value + "\"");
        } else if (key == "size" && number(1000000) && n > 0) {
            f.segment_size = static_cast<size_t>(n);
        } else if (key == "pause" && number(600000)) {
            f.pause_ms = static_cast<int>(n);
        } else if (key == "bytes") {
            if (!FromHex(value, &f.garbage) || f.garbage.empty())
                return fail("bad hex \"" + value + "\"");
        } else if (key == "mode") {
            if (value != "declared" && value != "room")
                return fail("mode must be declared or room");
            f.oversize =
                value == "room" ? OversizeMode::MoreThanRoom : OversizeMode::DeclaredTooLong;
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
    static const char* const kNames[] = {"none", "refuse", "hang"};  // ConnectionFault's order
    int i = NameIndex(kNames, text);
    if (i >= 0)
        *fault = ConnectionFault(i);
    return i >= 0;
}

std::vector<Step> ShapeReply(Reply reply, uint32_t room, const Bytes& previous, const Fault* fault,
                             Bytes* sent) {
    std::vector<Step> steps;
    auto write = [&steps](Bytes bytes) { steps.push_back(Step{Step::Write, std::move(bytes)}); };
    auto wait = [&steps](int ms) {
        if (ms > 0)
            steps.push_back(Step{Step::Wait, {}, ms});
    };
    sent->clear();
    FaultKind kind = fault ? fault->kind : FaultKind::Split;
    if (kind == FaultKind::NoReply)
        return steps;
    if (kind == FaultKind::Status) {
        reply.status = fault->status;
        reply.data = fault->data ? *fault->data : Bytes();
    } else if (kind == FaultKind::Oversized && fault->oversize == OversizeMode::DeclaredTooLong) {
        reply.data.assign(std::min<uint32_t>(fault->oversize_length, kMaxRequestPayload), 'X');
    } else if (kind == FaultKind::Oversized) {
        size_t want = std::max<size_t>(size_t(room), reply.data.size()) + fault->extra_bytes;
        reply.data.resize(std::max(std::min<size_t>(want, kMaxReplyData), reply.data.size()), '#');
    }
    reply.declared =
        kind == FaultKind::Oversized && fault->oversize == OversizeMode::DeclaredTooLong
            ? fault->oversize_length
            : uint32_t(reply.data.size());
    Bytes frame = EncodeReply(reply);
    if (kind == FaultKind::CloseMidReply) {
        write(Bytes(frame.begin(),
                    frame.begin() + long(std::min(fault->close_after, frame.size() - 1))));
        steps.push_back(Step{Step::Close, {}, 0, "fault closemid"});
        return steps;
    }
    *sent = frame;
    if (!fault || kind == FaultKind::Status || kind == FaultKind::Oversized) {
        write(frame);
    } else if (kind == FaultKind::Split) {
        size_t size = std::max<size_t>(1, fault->segment_size);
        for (size_t at = 0; at < frame.size(); at += size) {
            if (at > 0)
                wait(fault->pause_ms >= 0 ? fault->pause_ms : kDefaultSplitPauseMs);
            write(Bytes(frame.begin() + long(at),
                        frame.begin() + long(std::min(at + size, frame.size()))));
        }
    } else if (kind == FaultKind::LateReplyFirst) {
        Bytes late = previous;
        if (late.size() < kReplyHeaderSize || Get32(late.data() + 4) == reply.sequence) {
            uint32_t older = reply.sequence > 1 ? reply.sequence - 1 : reply.sequence + 1000;
            late = EncodeReply(
                Reply{kProtocolVersion, reply.kind, older, kStatusOk, 4, {'L', 'A', 'T', 'E'}});
        }
        if (fault->pause_ms > 0) {
            write(late);
            wait(fault->pause_ms);
            write(frame);
        } else {
            late.insert(late.end(), frame.begin(), frame.end());
            write(late);
        }
    } else {  // GarbageFirst
        write(fault->garbage.empty() ? Bytes{0x00, 0xFF, 'j', 'u', 'n', 'k'} : fault->garbage);
        wait(fault->pause_ms >= 0 ? fault->pause_ms : kDefaultGarbagePauseMs);
        write(frame);
    }
    return steps;
}

const char* EventTypeName(EventType type) {
    static const char* const kNames[] = {"connect", "close",     "malformed",     "reset",
                                         "update",  "listening", "not-listening", "fault"};
    return kNames[int(type)];
}

}  // namespace gwsim
