// Replaying a recorded session: one listener, any number of connections, all
// network work on one io thread.
#include "tools/gwsim/replay.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <asio.hpp>

namespace gwsim {

namespace {

using asio::ip::tcp;

const uint32_t kMaxRequestPayload = 64 * 1024;
const int kListenBacklog = 8;

uint32_t Get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void Set32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

std::string Hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

struct Step {
    enum Type { Write, Wait, Close } type;
    std::vector<uint8_t> bytes;  // Write
    uint32_t ms = 0;             // Wait
    bool abortive = false;       // Close
};

bool SameKey(const RecordedRequest& a, const RecordedRequest& b) {
    return a.kind == b.kind && a.code == b.code && a.qualifier == b.qualifier &&
           a.payload == b.payload;
}

}  // namespace

std::string DescribeRequest(const RecordedRequest& r) {
    char head[128];
    std::snprintf(head, sizeof head, "kind 0x%02X seq %u code %s qualifier %s room %u", r.kind,
                  r.sequence, Hex32(r.code).c_str(), Hex32(r.qualifier).c_str(), r.room);
    std::string s = head;
    if (!r.payload.empty()) {
        bool text = true;
        size_t end = r.payload.size();
        while (end > 0 && r.payload[end - 1] == 0)
            --end;
        for (size_t i = 0; i < end; ++i)
            text = text && r.payload[i] >= 0x20 && r.payload[i] < 0x7F;
        s += " payload ";
        s += text ? "\"" + std::string(r.payload.begin(), r.payload.begin() + long(end)) + "\"" +
                        (end < r.payload.size()
                             ? " + " + std::to_string(r.payload.size() - end) + " zero bytes"
                             : std::string())
                  : ToHex(r.payload);
    }
    return s;
}

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
    std::vector<uint8_t> out;
    for (const ReplyPiece& p : pieces) {
        std::vector<uint8_t> b = p.Encode();
        bool header = b.size() >= 8 && b[0] == kMagic0 && b[1] == kMagic1;
        if (header)
            Set32(b.data() + 4, rewrite(Get32(b.data() + 4)));
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

class ReplayConnection;

class Replayer::Impl {
public:
    Impl(Session s, ReplayOptions o) : session(std::move(s)), options(std::move(o)) {
        port = options.port != 0 ? options.port : DefaultPort(session.family);
        used.assign(session.exchanges.size(), false);
    }

    const Session session;
    ReplayOptions options;
    uint16_t port;

    // guarded by mu
    mutable std::mutex mu;
    std::vector<ReplayMatch> matches;
    size_t connections = 0;
    bool running = false;
    bool started_once = false;

    std::mutex wait_mu;
    std::condition_variable wait_cv;
    uint64_t generation = 0;
    std::mutex log_mu;

    // io thread only
    std::vector<bool> used;
    size_t cursor = 0;                     // the next exchange in recorded order
    std::map<uint32_t, uint32_t> live_of;  // recorded sequence -> live sequence that replayed it
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::set<std::shared_ptr<ReplayConnection>> open;
    std::thread thread;

    void Notify() {
        {
            std::lock_guard<std::mutex> lk(wait_mu);
            ++generation;
        }
        wait_cv.notify_all();
    }

    void Say(const std::string& line) {
        std::lock_guard<std::mutex> lk(log_mu);
        std::string text =
            "gwsim replay " + options.bind_address + ":" + std::to_string(port) + ": " + line;
        if (options.log) {
            options.log(text);
        } else {
            std::cerr << text << std::endl;
        }
    }

    // Index of the exchange that answers r, or -1; `in_order` tells how it was found.
    long Match(const RecordedRequest& r, bool* in_order) {
        const auto& xs = session.exchanges;
        while (cursor < xs.size() && used[cursor])
            ++cursor;
        *in_order = false;
        if (cursor < xs.size() && SameKey(xs[cursor].request, r)) {
            *in_order = true;
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

    std::vector<Step> Answer(const RecordedRequest& r, size_t connection);
    void Accept();
    void Ended(const std::shared_ptr<ReplayConnection>& c);
};

std::vector<Step> Replayer::Impl::Answer(const RecordedRequest& r, size_t connection) {
    bool in_order = false;
    long index = Match(r, &in_order);
    std::vector<Step> steps;
    ReplayMatch m;
    m.request = r;
    m.request.connection = connection;
    m.in_order = in_order;
    if (index < 0) {
        Say("no recorded answer for " + DescribeRequest(r) + " (conn " +
            std::to_string(connection) + "): answered status 0x0000FFFF");
        ReplyPiece p;
        p.kind = uint8_t(r.kind | kReplyBit);
        p.sequence = r.sequence;
        p.status = kStatusUnsupported;
        steps.push_back(Step{Step::Write, p.Encode(), 0, false});
    } else {
        const Exchange& x = session.exchanges[size_t(index)];
        m.exchange = x.number;
        if (options.verbose)
            Say("conn " + std::to_string(connection) + " " + DescribeRequest(r) +
                ": recorded exchange " + std::to_string(x.number) +
                (in_order ? "" : " (out of order)"));
        auto earlier = [this, &r](uint32_t recorded) {
            auto it = live_of.find(recorded);
            if (it != live_of.end())
                return it->second;
            return r.sequence > 1 ? r.sequence - 1 : 0xFFFFFFFFu;
        };
        std::vector<uint8_t> bytes =
            Replayer::ReplyBytes(x.pieces, x.request.sequence, r.sequence, earlier);
        live_of[x.request.sequence] = r.sequence;
        auto wait = [&steps, this](uint32_t ms) {
            if (options.timing && ms > 0)
                steps.push_back(Step{Step::Wait, {}, ms, false});
        };
        if (x.PieceBytes() == x.SegmentBytes()) {
            // As recorded: the same segments, the same gaps.
            size_t at = 0;
            for (const ReplySegment& seg : x.segments) {
                wait(seg.gap_ms);
                size_t n = std::min(seg.bytes.size(), bytes.size() - at);
                if (n > 0)
                    steps.push_back(Step{Step::Write,
                                         std::vector<uint8_t>(bytes.begin() + long(at),
                                                              bytes.begin() + long(at + n)),
                                         0, false});
                at += n;
            }
        } else {
            // Edited by hand: the frames as they now are, in one piece.
            wait(x.segments.empty() ? 0 : x.segments.front().gap_ms);
            if (!bytes.empty())
                steps.push_back(Step{Step::Write, bytes, 0, false});
        }
        if (x.device_closes) {
            wait(x.close_gap_ms);
            steps.push_back(Step{Step::Close, {}, 0, x.abortive});
        }
    }
    {
        std::lock_guard<std::mutex> lk(mu);
        matches.push_back(m);
    }
    Notify();
    return steps;
}

class ReplayConnection : public std::enable_shared_from_this<ReplayConnection> {
public:
    ReplayConnection(Replayer::Impl& impl, tcp::socket socket, size_t index)
        : impl_(impl), socket_(std::move(socket)), index_(index), timer_(impl.io) {}

    void Start() { Read(); }

    void Abort() {
        closed_ = true;
        asio::error_code ec;
        socket_.close(ec);
        timer_.cancel();
    }

private:
    void Read() {
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(buf_), [this, self](asio::error_code ec, size_t n) {
            if (closed_)
                return;
            if (ec) {
                eof_ = true;
            } else {
                in_.insert(in_.end(), buf_.begin(), buf_.begin() + long(n));
            }
            Process();
            if (!closed_ && !eof_)
                Read();
        });
    }

    void Process() {
        while (!busy_ && !closed_) {
            if (in_.empty() || in_.size() < kRequestHeaderSize) {
                bool bad =
                    !in_.empty() && (in_[0] != kMagic0 || (in_.size() > 1 && in_[1] != kMagic1));
                if (bad) {
                    impl_.Say("conn " + std::to_string(index_) + ": not a request frame: closed");
                    Close(false);
                } else if (eof_) {
                    Close(false);
                }
                return;
            }
            const uint8_t* h = in_.data();
            uint32_t length = Get32(h + 20);
            if (h[0] != kMagic0 || h[1] != kMagic1 || h[2] != kProtocolVersion ||
                length > kMaxRequestPayload) {
                impl_.Say("conn " + std::to_string(index_) + ": not a request frame: closed");
                Close(false);
                return;
            }
            if (in_.size() < kRequestHeaderSize + length) {
                if (eof_)
                    Close(false);
                return;
            }
            RecordedRequest r;
            r.connection = index_;
            r.kind = h[3];
            r.sequence = Get32(h + 4);
            r.code = Get32(h + 8);
            r.qualifier = Get32(h + 12);
            r.room = Get32(h + 16);
            r.payload.assign(in_.begin() + kRequestHeaderSize,
                             in_.begin() + long(kRequestHeaderSize + length));
            in_.erase(in_.begin(), in_.begin() + long(kRequestHeaderSize + length));
            busy_ = true;
            std::vector<Step> steps = impl_.Answer(r, index_);
            steps_.insert(steps_.end(), steps.begin(), steps.end());
            Run();
        }
    }

    void Run() {
        if (closed_)
            return;
        if (steps_.empty()) {
            busy_ = false;
            Process();
            return;
        }
        Step s = std::move(steps_.front());
        steps_.pop_front();
        auto self = shared_from_this();
        switch (s.type) {
            case Step::Write:
                out_ = std::move(s.bytes);
                asio::async_write(socket_, asio::buffer(out_),
                                  [this, self](asio::error_code ec, size_t) {
                                      if (closed_)
                                          return;
                                      if (ec) {
                                          Close(false);
                                          return;
                                      }
                                      Run();
                                  });
                break;
            case Step::Wait:
                timer_.expires_after(std::chrono::milliseconds(s.ms));
                timer_.async_wait([this, self](asio::error_code ec) {
                    if (ec || closed_)
                        return;
                    Run();
                });
                break;
            case Step::Close:
                Close(s.abortive);
                break;
        }
    }

    void Close(bool abortive) {
        if (closed_)
            return;
        closed_ = true;
        asio::error_code ec;
        if (abortive) {
            socket_.set_option(asio::socket_base::linger(true, 0), ec);
        } else {
            socket_.shutdown(tcp::socket::shutdown_both, ec);
        }
        socket_.close(ec);
        timer_.cancel();
        impl_.Ended(shared_from_this());
    }

    Replayer::Impl& impl_;
    tcp::socket socket_;
    size_t index_;
    asio::steady_timer timer_;
    std::array<uint8_t, 4096> buf_{};
    std::vector<uint8_t> in_;
    std::vector<uint8_t> out_;
    std::deque<Step> steps_;
    bool closed_ = false;
    bool eof_ = false;
    bool busy_ = false;
};

void Replayer::Impl::Accept() {
    acceptor.async_accept([this](asio::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!ec) {
            asio::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            size_t index;
            {
                std::lock_guard<std::mutex> lk(mu);
                index = ++connections;
            }
            auto c = std::make_shared<ReplayConnection>(*this, std::move(socket), index);
            open.insert(c);
            c->Start();
            Notify();
        }
        Accept();
    });
}

void Replayer::Impl::Ended(const std::shared_ptr<ReplayConnection>& c) {
    asio::post(io, [this, c] {
        open.erase(c);
        Notify();
    });
}

Replayer::Replayer(Session session, ReplayOptions options)
    : impl_(std::make_unique<Impl>(std::move(session), std::move(options))) {}

Replayer::~Replayer() {
    Stop();
}

bool Replayer::Start(std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (impl_->started_once)
            return fail("a replay is started only once");
    }
    asio::error_code ec;
    asio::ip::address bind = asio::ip::make_address(impl_->options.bind_address, ec);
    if (ec)
        return fail("bad bind address \"" + impl_->options.bind_address + "\"");
    tcp::endpoint endpoint(bind, impl_->port);
    impl_->acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        impl_->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        impl_->acceptor.bind(endpoint, ec);
    if (!ec)
        impl_->acceptor.listen(kListenBacklog, ec);
    if (ec) {
        asio::error_code ignored;
        impl_->acceptor.close(ignored);
        return fail("cannot listen on " + impl_->options.bind_address + ":" +
                    std::to_string(impl_->port) + ": " + ec.message());
    }
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->running = true;
        impl_->started_once = true;
    }
    impl_->Accept();
    impl_->thread = std::thread([this] { impl_->io.run(); });
    return true;
}

void Replayer::Stop() {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (!impl_->running)
            return;
        impl_->running = false;
    }
    impl_->io.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
    asio::error_code ec;
    impl_->acceptor.close(ec);
    for (const auto& c : impl_->open)
        c->Abort();
    impl_->open.clear();
    impl_->Notify();
}

Family Replayer::family() const {
    return impl_->session.family;
}

const std::string& Replayer::address() const {
    return impl_->options.bind_address;
}

uint16_t Replayer::port() const {
    return impl_->port;
}

size_t Replayer::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->connections;
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

bool Replayer::WaitUntil(const std::function<bool()>& predicate,
                         std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lk(impl_->wait_mu);
    for (;;) {
        uint64_t seen = impl_->generation;
        lk.unlock();
        bool ok = predicate();
        lk.lock();
        if (ok)
            return true;
        while (impl_->generation == seen) {
            if (impl_->wait_cv.wait_until(lk, deadline) == std::cv_status::timeout) {
                lk.unlock();
                return predicate();
            }
        }
    }
}

bool Replayer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([this, count] { return RequestCount() >= count; }, timeout);
}

}  // namespace gwsim
