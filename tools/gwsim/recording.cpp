// Recorded sessions: writing them as they happen, and reading them back.
#include "tools/gwsim/recording.h"

#include <utility>
#include <cctype>
#include <cerrno>
#include <system_error>
#include <ctime>
#include <set>

#include <nlohmann/json.hpp>

namespace gwsim {

namespace {

using Clock = std::chrono::steady_clock;
using ordered_json = nlohmann::ordered_json;
using nlohmann::json;

// A declared data length above this is not waited for: the bytes are kept raw.
const uint32_t kMaxDecodedData = 1024 * 1024;

// "key" as text when printable, else "key_hex" as hex.
void PutBytes(ordered_json* j, const std::string& key, const std::vector<uint8_t>& bytes) {
    if (Printable(bytes)) {
        (*j)[key] = std::string(bytes.begin(), bytes.end());
    } else {
        (*j)[key + "_hex"] = ToHex(bytes);
    }
}

ReplyPiece Raw(std::vector<uint8_t> bytes, std::string note) {
    return ReplyPiece{true, kProtocolVersion, 0, 0, 0, {}, std::move(bytes), std::move(note)};
}

ordered_json PieceJson(const ReplyPiece& p) {
    ordered_json j;
    if (p.raw) {
        j["raw"] = ToHex(p.bytes);
        if (!p.note.empty())
            j["note"] = p.note;
        return j;
    }
    if (p.version != kProtocolVersion)
        j["version"] = p.version;
    j["kind"] = Hex32(p.kind, 2);
    j["sequence"] = p.sequence;
    j["status"] = Hex32(p.status);
    PutBytes(&j, "data", p.data);
    return j;
}

}  // namespace

// ---- pieces ----

std::vector<uint8_t> ReplyPiece::Encode() const {
    if (raw)
        return bytes;
    return EncodeReply(Reply{version, kind, sequence, status, uint32_t(data.size()), data});
}

std::vector<uint8_t> Exchange::PieceBytes() const {
    std::vector<uint8_t> out;
    for (const ReplyPiece& p : pieces) {
        std::vector<uint8_t> b = p.Encode();
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

std::vector<uint8_t> Exchange::SegmentBytes() const {
    std::vector<uint8_t> out;
    for (const ReplySegment& s : segments)
        out.insert(out.end(), s.bytes.begin(), s.bytes.end());
    return out;
}

std::vector<ReplyPiece> ReplyDecoder::Add(const std::vector<uint8_t>& bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::vector<ReplyPiece> out;
    auto take_raw = [this, &out](size_t n, const char* note) {
        out.push_back(Raw(Bytes(pending_.begin(), pending_.begin() + long(n)), note));
        pending_.erase(pending_.begin(), pending_.begin() + long(n));
    };
    while (!pending_.empty()) {
        ReplyFrameRead f = ReadReplyFrame(pending_.data(), pending_.size(), kMaxDecodedData);
        if (f.status == FrameStatus::BadMagic) {
            // Up to the next possible start of a frame.
            size_t at = 1;
            while (at < pending_.size() &&
                   ReadReplyFrame(&pending_[at], pending_.size() - at, 0).status ==
                       FrameStatus::BadMagic)
                ++at;
            take_raw(at, "not a frame");
        } else if (f.status == FrameStatus::Oversized) {
            take_raw(pending_.size(), "declared data length out of range");
        } else if (f.status == FrameStatus::Incomplete) {
            break;
        } else {
            const Reply& r = f.reply;
            out.push_back(
                ReplyPiece{false, r.version, r.kind, r.sequence, r.status, r.data, {}, {}});
            pending_.erase(pending_.begin(), pending_.begin() + long(f.size));
        }
    }
    return out;
}

std::vector<ReplyPiece> ReplyDecoder::Flush() {
    if (pending_.empty())
        return {};
    return {Raw(std::exchange(pending_, {}), "incomplete frame")};
}

// ---- writing ----

bool SessionWriter::Open(const std::string& path, Family family, const std::string& device,
                         const std::string& listen, std::string* error) {
    std::lock_guard<std::mutex> lk(mu_);
    errno = 0;
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_)
        return Fail(error, "cannot write " + path + ": " + std::generic_category().message(errno));
    open_ = true;
    start_ = Clock::now();
    std::time_t now = std::time(nullptr);
    char started[32] = "";
    if (const std::tm* utc = std::gmtime(&now))
        std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", utc);
    ordered_json j = {{"event", "session"},         {"format", kSessionFormat},
                      {"version", kSessionVersion}, {"family", FamilyName(family)},
                      {"device", device},           {"listen", listen},
                      {"started", started}};
    WriteLine(j.dump());
    if (!failure_.empty())
        return Fail(error, failure_);
    return true;
}

void SessionWriter::WriteLine(const std::string& line) {
    // Called with mu_ held.
    if (!open_ || ended_)
        return;
    out_ << line << '\n';
    out_.flush();
    if (!out_ && failure_.empty())
        failure_ = "writing the session failed";
}

uint64_t SessionWriter::Now() const {
    return uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
}

namespace {

// The keys every event line starts with; "n" when `n` is given.
ordered_json Line(const char* event, size_t conn, uint64_t t_ms, const size_t* n = nullptr) {
    ordered_json j = {{"event", event}, {"conn", conn}};
    if (n)
        j["n"] = *n;
    j["t_ms"] = t_ms;
    return j;
}

int64_t GapMs(Clock::time_point since) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
    return ms < 0 ? 0 : ms;
}

}  // namespace

void SessionWriter::ReplyLine(size_t conn, Conn& c, const Bytes& bytes, bool flush) {
    // Called with mu_ held.
    Clock::time_point now = Clock::now();
    ordered_json frames = ordered_json::array();
    for (const ReplyPiece& p : flush ? c.decoder.Flush() : c.decoder.Add(bytes))
        frames.push_back(PieceJson(p));
    ordered_json j = Line("reply", conn, Now(), &c.last_request);
    j["gap_ms"] = flush ? 0 : GapMs(c.last_time);
    j["bytes"] = ToHex(bytes);
    j["frames"] = frames;
    WriteLine(j.dump());
    if (!flush)
        c.last_time = now;
}

void SessionWriter::Connected(size_t conn, const std::string& peer) {
    std::lock_guard<std::mutex> lk(mu_);
    Conn& c = conns_[conn];
    c.last_time = Clock::now();
    ordered_json j = Line("connect", conn, Now());
    if (!peer.empty())
        j["pc"] = peer;
    WriteLine(j.dump());
}

void SessionWriter::ConnectFailed(size_t conn, const std::string& why) {
    std::lock_guard<std::mutex> lk(mu_);
    ordered_json j = Line("connect_failed", conn, Now());
    j["error"] = why;
    WriteLine(j.dump());
}

void SessionWriter::FlushDecoder(size_t conn, Conn& c) {
    // Called with mu_ held: the rest of a frame the device never finished.
    if (c.decoder.Pending())
        ReplyLine(conn, c, {}, true);
}

void SessionWriter::PcBytes(size_t conn, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lk(mu_);
    if (!open_)
        return;
    Conn& c = conns_[conn];
    auto unframed = [&](const std::vector<uint8_t>& b) {
        c.pc_unframed = true;
        ordered_json j = Line("pc_bytes", conn, Now());
        j["bytes"] = ToHex(b);
        WriteLine(j.dump());
    };
    if (c.pc_unframed) {
        unframed(bytes);
        return;
    }
    c.from_pc.insert(c.from_pc.end(), bytes.begin(), bytes.end());
    while (!c.from_pc.empty()) {
        RequestFrame f = ReadRequest(c.from_pc.data(), c.from_pc.size());
        if (f.status == FrameStatus::Incomplete)
            return;
        if (f.status == FrameStatus::BadMagic || f.status == FrameStatus::Oversized) {
            unframed(c.from_pc);
            c.from_pc.clear();
            return;
        }
        FlushDecoder(conn, c);
        RecordedRequest& r = f.request;
        r.connection = conn;
        Bytes frame(c.from_pc.begin(), c.from_pc.begin() + long(f.size));
        c.from_pc.erase(c.from_pc.begin(), c.from_pc.begin() + long(f.size));
        requests_.push_back(r);
        c.last_request = requests_.size();
        c.last_time = Clock::now();
        ordered_json j = Line("request", conn, Now(), &c.last_request);
        if (r.version != kProtocolVersion)
            j["version"] = r.version;
        j["kind"] = Hex32(r.kind, 2);
        j["sequence"] = r.sequence;
        j["code"] = Hex32(r.code);
        j["qualifier"] = Hex32(r.qualifier);
        j["room"] = r.room;
        PutBytes(&j, "payload", r.payload);
        j["bytes"] = ToHex(frame);
        WriteLine(j.dump());
    }
}

void SessionWriter::DeviceBytes(size_t conn, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lk(mu_);
    if (open_)
        ReplyLine(conn, conns_[conn], bytes, false);
}

void SessionWriter::Closed(size_t conn, bool by_device, bool abortive) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = conns_.find(conn);
    if (it == conns_.end())
        return;
    Conn& c = it->second;
    FlushDecoder(conn, c);
    ordered_json j = Line("close", conn, Now(), &c.last_request);
    j["gap_ms"] = GapMs(c.last_time);
    j["by"] = by_device ? "device" : "pc";
    j["how"] = abortive ? "reset" : "close";
    WriteLine(j.dump());
    conns_.erase(it);
}

void SessionWriter::End() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!open_ || ended_)
        return;
    WriteLine(
        ordered_json{{"event", "end"}, {"t_ms", Now()}, {"requests", requests_.size()}}.dump());
    ended_ = true;
    out_.close();
}

size_t SessionWriter::RequestCount() const {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_.size();
}

std::vector<RecordedRequest> SessionWriter::Requests() const {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
}

bool SessionWriter::Healthy(std::string* error) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (error)
        *error = failure_;
    return failure_.empty();
}

// ---- reading ----

namespace {

// Where a line is, for messages.
struct Place {
    const std::string& name;
    size_t line;
    size_t offset;
    std::string operator()(const std::string& what) const {
        return name + ":" + std::to_string(line) + " (offset " + std::to_string(offset) +
               "): " + what;
    }
};

struct BadLine {
    std::string what;
};

// The event's keys must be among `allowed`.
void CheckKeys(const json& j, const std::set<std::string>& allowed, const std::string& event) {
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (!allowed.count(it.key()))
            throw BadLine{"unknown key \"" + it.key() + "\" in a \"" + event + "\" line"};
    }
}

// A number given as a JSON number, or as text (decimal or 0x-hex).
uint64_t Number(const json& j, const std::string& key, uint64_t max, bool required,
                uint64_t fallback = 0) {
    auto it = j.find(key);
    if (it == j.end()) {
        if (required)
            throw BadLine{"\"" + key + "\" is missing"};
        return fallback;
    }
    uint64_t v = 0;
    if (it->is_number_unsigned()) {
        v = it->get<uint64_t>();
    } else if (it->is_number_integer() && it->get<int64_t>() >= 0) {
        v = uint64_t(it->get<int64_t>());
    } else if (it->is_string()) {
        std::string s = it->get<std::string>();
        if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0])) ||
            !ParseNumber(s, UINT64_MAX, &v))
            throw BadLine{"\"" + key + "\" is not a number: \"" + s + "\""};
    } else {
        throw BadLine{"\"" + key + "\" must be a number (or text such as \"0x20000000\"), not " +
                      it->dump()};
    }
    if (v > max)
        throw BadLine{"\"" + key + "\" is out of range: " + std::to_string(v) + " (at most " +
                      std::to_string(max) + ")"};
    return v;
}

std::string Text(const json& j, const std::string& key, bool required) {
    auto it = j.find(key);
    if (it == j.end()) {
        if (required)
            throw BadLine{"\"" + key + "\" is missing"};
        return std::string();
    }
    if (!it->is_string())
        throw BadLine{"\"" + key + "\" must be text, not " + it->dump()};
    return it->get<std::string>();
}

std::vector<uint8_t> HexField(const json& j, const std::string& key) {
    std::string s = Text(j, key, false);
    std::vector<uint8_t> b;
    if (!FromHex(s, &b))
        throw BadLine{"\"" + key + "\" is not hex (pairs of 0-9/a-f): \"" +
                      (s.size() > 40 ? s.substr(0, 40) + "..." : s) + "\""};
    return b;
}

// "key" (text) or "key_hex" (hex); at most one of them.
std::vector<uint8_t> BytesField(const json& j, const std::string& key) {
    bool text = j.contains(key), hex = j.contains(key + "_hex");
    if (text && hex)
        throw BadLine{"both \"" + key + "\" and \"" + key + "_hex\" are given"};
    if (hex)
        return HexField(j, key + "_hex");
    std::string s = Text(j, key, false);
    return std::vector<uint8_t>(s.begin(), s.end());
}

ReplyPiece PieceFromJson(const json& j, size_t index) {
    std::string where = "frame " + std::to_string(index + 1) + ": ";
    if (!j.is_object())
        throw BadLine{where + "must be an object, not " + j.dump()};
    ReplyPiece p;
    try {
        if (j.contains("raw")) {
            CheckKeys(j, {"raw", "note"}, "raw frame");
            return Raw(HexField(j, "raw"), Text(j, "note", false));
        }
        CheckKeys(j, {"version", "kind", "sequence", "status", "data", "data_hex"}, "frame");
        p.version = uint8_t(Number(j, "version", 0xFF, false, kProtocolVersion));
        p.kind = uint8_t(Number(j, "kind", 0xFF, true));
        p.sequence = uint32_t(Number(j, "sequence", 0xFFFFFFFFu, true));
        p.status = uint32_t(Number(j, "status", 0xFFFFFFFFu, true));
        p.data = BytesField(j, "data");
    } catch (const BadLine& e) {
        throw BadLine{where + e.what};
    }
    return p;
}

}  // namespace

bool ParseSession(const std::string& text, const std::string& name, Session* session,
                  std::string* error, std::vector<std::string>* warnings) {
    Session s;
    std::map<size_t, size_t> by_number;  // "n" -> index in s.exchanges
    bool have_header = false;
    auto warn = [warnings](const std::string& what) {
        if (warnings)
            warnings->push_back(what);
    };

    size_t offset = 0, line_no = 0;
    while (offset < text.size()) {
        size_t end = text.find('\n', offset);
        bool last_without_newline = end == std::string::npos;
        if (last_without_newline)
            end = text.size();
        std::string line = text.substr(offset, end - offset);
        ++line_no;
        Place place{name, line_no, offset};
        offset = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;

        json j;
        try {
            j = json::parse(line);
        } catch (const json::parse_error& e) {
            std::string what = e.what();
            size_t colon = what.find(": ", what.find("column"));
            std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
            size_t column = e.byte == 0 ? 1 : e.byte;
            Place at{name, line_no, place.offset + column - 1};
            if (last_without_newline) {
                // The writer ends every line: a last line without its end was cut short.
                if (!have_header)
                    return Fail(error, at("the session line is cut short: " + reason));
                warn(place("the last line is cut short (" + reason +
                           "); the session is taken up to the line before"));
                break;
            }
            return Fail(error,
                        at("column " + std::to_string(column) + ": not valid JSON: " + reason));
        }
        try {
            if (!j.is_object())
                throw BadLine{"each line must be a JSON object, not " + j.dump()};
            std::string event = Text(j, "event", true);
            if (!have_header) {
                if (event != "session")
                    throw BadLine{
                        "not a recorded session: the first line must be the "
                        "\"session\" line, not \"" +
                        event + "\""};
                CheckKeys(j,
                          {"event", "format", "version", "family", "device", "listen", "started"},
                          event);
                if (Text(j, "format", true) != kSessionFormat)
                    throw BadLine{"\"format\" must be \"" + std::string(kSessionFormat) + "\""};
                uint64_t version = Number(j, "version", 0xFFFF, true);
                if (version != uint64_t(kSessionVersion))
                    throw BadLine{"version " + std::to_string(version) +
                                  " is not known (this gwsim reads version " +
                                  std::to_string(kSessionVersion) + ")"};
                std::string family = Text(j, "family", true);
                if (!ParseFamily(family, &s.family))
                    throw BadLine{"\"family\" must be ZEL or MIR, not \"" + family + "\""};
                s.device = Text(j, "device", false);
                s.started = Text(j, "started", false);
                have_header = true;
                continue;
            }
            if (s.complete)
                throw BadLine{"a \"" + event + "\" line after the \"end\" line"};
            if (event == "session") {
                throw BadLine{"a second \"session\" line"};
            } else if (event == "connect") {
                CheckKeys(j, {"event", "conn", "t_ms", "pc"}, event);
                Number(j, "conn", SIZE_MAX, true);
                ++s.connections;
            } else if (event == "connect_failed") {
                CheckKeys(j, {"event", "conn", "t_ms", "error"}, event);
                Number(j, "conn", SIZE_MAX, true);
                ++s.failed_connections;
            } else if (event == "pc_bytes") {
                CheckKeys(j, {"event", "conn", "t_ms", "bytes"}, event);
                HexField(j, "bytes");
            } else if (event == "request") {
                CheckKeys(j,
                          {"event", "conn", "n", "t_ms", "version", "kind", "sequence", "code",
                           "qualifier", "room", "payload", "payload_hex", "bytes"},
                          event);
                Exchange x;
                x.line = line_no;
                x.number = size_t(Number(j, "n", SIZE_MAX, true));
                x.connection = size_t(Number(j, "conn", SIZE_MAX, true));
                if (x.number == 0)
                    throw BadLine{"\"n\" must be 1 or more"};
                if (by_number.count(x.number))
                    throw BadLine{"request " + std::to_string(x.number) +
                                  " is there twice (first on line " +
                                  std::to_string(s.exchanges[by_number[x.number]].line) + ")"};
                RecordedRequest& r = x.request;
                r.connection = x.connection;
                r.version = uint8_t(Number(j, "version", 0xFF, false, kProtocolVersion));
                r.kind = uint8_t(Number(j, "kind", 0xFF, true));
                r.sequence = uint32_t(Number(j, "sequence", 0xFFFFFFFFu, true));
                r.code = uint32_t(Number(j, "code", 0xFFFFFFFFu, true));
                r.qualifier = uint32_t(Number(j, "qualifier", 0xFFFFFFFFu, false));
                r.room = uint32_t(Number(j, "room", 0xFFFFFFFFu, false));
                r.payload = BytesField(j, "payload");
                HexField(j, "bytes");
                by_number[x.number] = s.exchanges.size();
                s.exchanges.push_back(std::move(x));
            } else if (event == "reply") {
                CheckKeys(j, {"event", "conn", "n", "t_ms", "gap_ms", "bytes", "frames"}, event);
                size_t n = size_t(Number(j, "n", SIZE_MAX, true));
                size_t conn = size_t(Number(j, "conn", SIZE_MAX, true));
                ReplySegment seg;
                seg.gap_ms = uint32_t(Number(j, "gap_ms", 0xFFFFFFFFu, false));
                seg.bytes = HexField(j, "bytes");
                std::vector<ReplyPiece> pieces;
                if (j.contains("frames")) {
                    const json& frames = j["frames"];
                    if (!frames.is_array())
                        throw BadLine{"\"frames\" must be an array"};
                    for (size_t i = 0; i < frames.size(); ++i)
                        pieces.push_back(PieceFromJson(frames[i], i));
                } else if (!seg.bytes.empty()) {
                    // Bytes alone: sent as they are.
                    pieces.push_back(Raw(seg.bytes, ""));
                }
                if (n == 0)
                    continue;  // before any request: nothing answers it
                auto it = by_number.find(n);
                if (it == by_number.end())
                    throw BadLine{"a reply to request " + std::to_string(n) +
                                  ", which no earlier line records"};
                Exchange& x = s.exchanges[it->second];
                if (x.connection != conn)
                    throw BadLine{"a reply on connection " + std::to_string(conn) + " to request " +
                                  std::to_string(n) + " of connection " +
                                  std::to_string(x.connection)};
                x.segments.push_back(std::move(seg));
                x.pieces.insert(x.pieces.end(), pieces.begin(), pieces.end());
            } else if (event == "close") {
                CheckKeys(j, {"event", "conn", "n", "t_ms", "gap_ms", "by", "how"}, event);
                size_t n = size_t(Number(j, "n", SIZE_MAX, false));
                Number(j, "conn", SIZE_MAX, true);
                uint32_t gap = uint32_t(Number(j, "gap_ms", 0xFFFFFFFFu, false));
                std::string by = Text(j, "by", true), how = Text(j, "how", false);
                if (by != "device" && by != "pc")
                    throw BadLine{"\"by\" must be \"device\" or \"pc\", not \"" + by + "\""};
                if (!how.empty() && how != "close" && how != "reset")
                    throw BadLine{"\"how\" must be \"close\" or \"reset\", not \"" + how + "\""};
                if (n != 0) {
                    auto it = by_number.find(n);
                    if (it == by_number.end())
                        throw BadLine{"a close after request " + std::to_string(n) +
                                      ", which no earlier line records"};
                    if (by == "device") {
                        Exchange& x = s.exchanges[it->second];
                        x.device_closes = true;
                        x.abortive = how == "reset";
                        x.close_gap_ms = gap;
                    }
                }
            } else if (event == "end") {
                CheckKeys(j, {"event", "t_ms", "requests"}, event);
                s.complete = true;
            } else {
                throw BadLine{"unknown event \"" + event + "\""};
            }
        } catch (const BadLine& e) {
            return Fail(error, place(e.what));
        } catch (const json::exception& e) {
            return Fail(error, place(e.what()));
        }
    }
    if (!have_header)
        return Fail(error, name + ":1 (offset 0): empty: not a recorded session");
    if (!s.complete)
        warn(name + ":" + std::to_string(line_no) + " (offset " + std::to_string(text.size()) +
             "): no \"end\" line: the recording was cut short; it is taken as far as it goes");
    *session = std::move(s);
    return true;
}

bool LoadSession(const std::string& path, Session* session, std::string* error,
                 std::vector<std::string>* warnings) {
    std::string text;
    if (!ReadTextFile(path, &text))
        return Fail(error, path + ": cannot be read");
    return ParseSession(text, path, session, error, warnings);
}

}  // namespace gwsim
