// Replaying a recorded session on the shared server skeleton: any number of
// connections, answers from the recording.
#include "tools/gwsim/replay.h"

#include <algorithm>
#include <map>

#include "tools/gwsim/server.h"

namespace gwsim {

namespace {

bool SameKey(const RecordedRequest& a, const RecordedRequest& b) {
    return a.version == b.version && a.kind == b.kind && a.code == b.code &&
           a.qualifier == b.qualifier && a.payload == b.payload;
}

}  // namespace

std::vector<uint8_t> Replayer::ReplyBytes(const std::vector<ReplyPiece>& pieces,
                                          uint32_t recorded_sequence, uint32_t live_sequence,
                                          const std::function<uint32_t(uint32_t)>& earlier) {
    auto rewrite = [&](uint32_t sequence) {
        if (sequence == recorded_sequence)
            return live_sequence;
        uint32_t other = earlier(sequence);
        if (other == live_sequence)  // never mistaken for the live reply
            other = live_sequence > 1 ? live_sequence - 1 : 0xFFFFFFFFu;
        return other;
    };
    Bytes out;
    for (const ReplyPiece& p : pieces) {
        Bytes b = p.Encode();
        if (b.size() >= 8 && b[0] == kMagic0 && b[1] == kMagic1) {
            uint32_t sequence = rewrite(Get32(b.data() + 4));
            for (int i = 0; i < 4; ++i)
                b[size_t(4 + i)] = uint8_t(sequence >> (24 - 8 * i));
        }
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

class Replayer::Impl : public Server {
public:
    Impl(Session s, ReplayOptions o)
        : Server(o, DefaultPort(s.family), "replay"), session(std::move(s)), options(std::move(o)) {
        used.assign(session.exchanges.size(), false);
    }
    ~Impl() override { Stop(); }

    const Session session;
    const ReplayOptions options;
    std::vector<ReplayMatch> matches;  // guarded by mu

    // io thread only
    std::vector<bool> used;
    size_t cursor = 0;                     // the next exchange in recorded order
    std::map<uint32_t, uint32_t> live_of;  // recorded sequence -> live sequence that replayed it

    std::shared_ptr<Link> Accepted(tcp::socket socket, size_t index) override {
        return std::make_shared<RequestLink>(*this, std::move(socket), index,
                                             options.incomplete_frame_timeout_ms);
    }
    void Malformed(size_t i, const std::string& what) override {
        Log("conn " + std::to_string(i) + ": " + what + ": closed", true);
    }

    // Index of the exchange that answers r, or -1; `in_order` tells how it was found.
    long Match(const RecordedRequest& r, bool* in_order) {
        const auto& xs = session.exchanges;
        while (cursor < xs.size() && used[cursor])
            ++cursor;
        *in_order = cursor < xs.size() && SameKey(xs[cursor].request, r);
        if (*in_order) {
            used[cursor] = true;
            return long(cursor++);
        }
        for (size_t i = 0; i < xs.size(); ++i) {
            if (!used[i] && SameKey(xs[i].request, r)) {
                used[i] = true;
                return long(i);
            }
        }
        // Every recorded answer to it was given already: the last one again.
        for (size_t i = xs.size(); i-- > 0;) {
            if (SameKey(xs[i].request, r))
                return long(i);
        }
        return -1;
    }

    std::vector<Step> Respond(const RequestFrame& f) override;
};

std::vector<Step> Replayer::Impl::Respond(const RequestFrame& f) {
    const RecordedRequest& r = f.request;
    std::string conn = "conn " + std::to_string(r.connection);
    bool in_order = false;
    long index = f.status == FrameStatus::Oversized ? -1 : Match(r, &in_order);
    if (index < 0 && f.status != FrameStatus::Complete) {
        Log(conn + ": malformed request (" + DescribeRequest(r) +
                "): answered status 0x0000FFFF and closed",
            true);
        return MalformedReply(r, "malformed request");
    }
    std::vector<Step> steps;
    ReplayMatch m{r, 0, in_order};
    if (index < 0) {
        Log("no recorded answer for " + DescribeRequest(r) + " (" + conn +
                "): answered status 0x0000FFFF",
            true);
        steps.push_back(Step{Step::Write, ReplyFrame(r.kind, r.sequence, kStatusUnsupported)});
    } else {
        const Exchange& x = session.exchanges[size_t(index)];
        m.exchange = x.number;
        Log(conn + " " + DescribeRequest(r) + ": recorded exchange " + std::to_string(x.number) +
            (in_order ? "" : " (out of order)"));
        auto earlier = [this, &r](uint32_t recorded) {
            auto it = live_of.find(recorded);
            if (it != live_of.end())
                return it->second;
            return r.sequence > 1 ? r.sequence - 1 : 0xFFFFFFFFu;
        };
        Bytes bytes = Replayer::ReplyBytes(x.pieces, x.request.sequence, r.sequence, earlier);
        live_of[x.request.sequence] = r.sequence;
        auto wait = [&steps, this](uint32_t ms) {
            if (options.timing && ms > 0)
                steps.push_back(Step{Step::Wait, {}, int(std::min<uint32_t>(ms, 0x7FFFFFFF))});
        };
        auto write = [&steps](Bytes b) {
            if (!b.empty())
                steps.push_back(Step{Step::Write, std::move(b)});
        };
        if (x.PieceBytes() == x.SegmentBytes()) {
            // As recorded: the same segments, the same gaps.
            size_t at = 0;
            for (const ReplySegment& seg : x.segments) {
                wait(seg.gap_ms);
                size_t n = std::min(seg.bytes.size(), bytes.size() - at);
                write(Bytes(bytes.begin() + long(at), bytes.begin() + long(at + n)));
                at += n;
            }
        } else {
            // Edited by hand: the frames as they now are, in one piece.
            wait(x.segments.empty() ? 0 : x.segments.front().gap_ms);
            write(std::move(bytes));
        }
        if (x.device_closes) {
            wait(x.close_gap_ms);
            steps.push_back(Step{Step::Close, {}, 0, "device closed", x.abortive});
        }
    }
    {
        std::lock_guard<std::mutex> lk(mu);
        matches.push_back(m);
    }
    Notify();
    return steps;
}

Replayer::Replayer(Session session, ReplayOptions options)
    : Service(std::make_unique<Impl>(std::move(session), std::move(options))),
      impl_(static_cast<Impl*>(server_.get())) {}

bool Replayer::Start(std::string* error) {
    return impl_->Start(error);
}

Family Replayer::family() const {
    return impl_->session.family;
}

size_t Replayer::RequestCount() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->matches.size();
}

std::vector<ReplayMatch> Replayer::Matches() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->matches;
}

std::vector<RecordedRequest> Replayer::Unmatched() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    std::vector<RecordedRequest> out;
    for (const ReplayMatch& m : impl_->matches) {
        if (m.exchange == 0)
            out.push_back(m.request);
    }
    return out;
}

bool Replayer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([this, count] { return RequestCount() >= count; }, timeout);
}

}  // namespace gwsim
