// The shared server skeleton and the request-reading connection.
#include "tools/gwsim/server.h"

#include <iostream>

namespace gwsim {

namespace {

const int kListenBacklog = 8;
const int kAcceptRetryMs = 100;

}  // namespace

Server::Server(const ServerOptions& o, uint16_t default_port, std::string name)
    : bind_address(o.bind_address),
      port(o.port ? o.port : default_port),
      name_(std::move(name)),
      verbose_(o.verbose),
      log_(o.log) {}

Server::~Server() {
    Stop();
}

bool Server::Start(std::string* error) {
    {
        std::lock_guard<std::mutex> lk(mu);
        if (started_once_)
            return Fail(error, "a server is started only once");
    }
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(bind_address, ec);
    if (ec)
        return Fail(error, "bad bind address \"" + bind_address + "\"");
    endpoint = tcp::endpoint(address, port);
    if ((ec = OpenListener(kListenBacklog)))
        return Fail(error, "cannot listen on " + EndpointText() + ": " + ec.message());
    if (!BeforeStart(error)) {
        CloseListener();
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(mu);
        running_ = started_once_ = true;
    }
    StartAccept();
    thread_ = std::thread([this] { io.run(); });
    return true;
}

void Server::Stop() {
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!running_)
            return;
        running_ = false;
    }
    work.reset();
    io.stop();
    if (thread_.joinable())
        thread_.join();
    // The io thread has ended: its objects can be closed from here.
    CloseListener();
    for (const auto& link : open_)
        link->Abort();
    open_.clear();
    {
        std::lock_guard<std::mutex> lk(mu);
        open_count_ = 0;
    }
    AfterStop();
    Notify();
}

bool Server::Running() const {
    std::lock_guard<std::mutex> lk(mu);
    return running_;
}

size_t Server::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(mu);
    return connections_;
}

size_t Server::OpenCount() const {
    std::lock_guard<std::mutex> lk(mu);
    return open_count_;
}

void Server::Notify() {
    {
        std::lock_guard<std::mutex> lk(wait_mu_);
        ++generation_;
    }
    wait_cv_.notify_all();
}

bool Server::WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lk(wait_mu_);
    for (;;) {
        uint64_t seen = generation_;
        lk.unlock();
        if (predicate())
            return true;
        lk.lock();
        while (generation_ == seen) {
            if (wait_cv_.wait_until(lk, deadline) == std::cv_status::timeout) {
                lk.unlock();
                return predicate();
            }
        }
    }
}

void Server::Log(const std::string& line, bool always) {
    if (!verbose_ && !always)
        return;
    std::lock_guard<std::mutex> lk(log_mu_);
    std::string text = "gwsim " + name_ + " " + EndpointText() + ": " + line;
    if (log_)
        log_(text);
    else
        std::cerr << text << std::endl;
}

asio::error_code Server::OpenListener(int backlog) {
    asio::error_code ec;
    CloseListener();
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(backlog, ec);
    if (ec)
        CloseListener();
    return ec;
}

void Server::CloseListener() {
    asio::error_code ec;
    acceptor.close(ec);
    accepting_ = false;
}

void Server::StartAccept() {
    if (accepting_ || !acceptor.is_open() || (max_open && open_.size() >= max_open) || !MayAccept())
        return;
    accepting_ = true;
    acceptor.async_accept([this](asio::error_code ec, tcp::socket socket) {
        accepting_ = false;
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (ec) {
            // Transient failures (e.g. out of descriptors): try again shortly.
            auto timer = std::make_shared<asio::steady_timer>(io);
            After(*timer, kAcceptRetryMs, [this, timer] { StartAccept(); });
            return;
        }
        asio::error_code ignored;
        if (!MayAccept()) {
            socket.close(ignored);
            return;
        }
        socket.set_option(tcp::no_delay(true), ignored);
        size_t index;
        {
            std::lock_guard<std::mutex> lk(mu);
            index = ++connections_;
            ++open_count_;
        }
        std::shared_ptr<Link> link = Accepted(std::move(socket), index);
        open_.insert(link);
        link->Start();
        Notify();
        StartAccept();
    });
}

void Server::Ended(const std::shared_ptr<Link>& link, bool reboot) {
    asio::post(io, [this, link, reboot] {
        if (!open_.erase(link))
            return;
        {
            std::lock_guard<std::mutex> lk(mu);
            --open_count_;
        }
        Notify();
        AfterClose(reboot);
    });
}

// ---------------------------------------------------------------------------

void After(asio::steady_timer& timer, int64_t ms, std::function<void()> then) {
    timer.expires_after(std::chrono::milliseconds(ms));
    timer.async_wait([then](asio::error_code ec) {
        if (!ec)
            then();
    });
}

std::vector<Step> MalformedReply(const RecordedRequest& r, const std::string& why) {
    return {Step{Step::Write, ReplyFrame(r.kind, r.sequence, kStatusUnsupported)},
            Step{Step::Close, {}, 0, why}};
}

RequestLink::RequestLink(Server& server, tcp::socket socket, size_t index,
                         int incomplete_timeout_ms)
    : server_(server),
      socket_(std::move(socket)),
      index_(index),
      incomplete_timeout_ms_(incomplete_timeout_ms),
      timer_(server.io),
      idle_timer_(server.io) {}

void RequestLink::Abort() {
    closed_ = true;
    asio::error_code ec;
    socket_.close(ec);
}

void RequestLink::Read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(rbuf_), [this, self](asio::error_code ec, size_t n) {
        if (closed_)
            return;
        if (ec)
            eof_ = true;
        else
            in_.insert(in_.end(), rbuf_.begin(), rbuf_.begin() + long(n));
        Process();
        if (!closed_ && !eof_)
            Read();
    });
}

// Serves the frames waiting, one at a time.
void RequestLink::Process() {
    while (!busy_ && !closed_) {
        if (in_.empty()) {
            idle_timer_.cancel();
            if (eof_)
                Close(Step{Step::Close, {}, 0, "closed by peer"});
            return;
        }
        RequestFrame f = ReadRequest(in_.data(), in_.size());
        if (f.status == FrameStatus::BadMagic) {
            server_.Malformed(index_, "bad magic");
            Close(Step{Step::Close, {}, 0, "bad magic"});
            return;
        }
        if (f.status == FrameStatus::Incomplete) {
            const char* what =
                in_.size() < kRequestHeaderSize ? "truncated header" : "truncated payload";
            if (eof_) {
                server_.Malformed(index_, what);
                Close(Step{Step::Close, {}, 0, what});
            } else if (incomplete_timeout_ms_ > 0) {
                auto self = shared_from_this();
                After(idle_timer_, incomplete_timeout_ms_, [this, self] {
                    if (closed_ || busy_ || in_.empty())
                        return;
                    server_.Malformed(index_, "incomplete frame timed out");
                    Close(Step{Step::Close, {}, 0, "incomplete frame"});
                });
            }
            return;
        }
        idle_timer_.cancel();
        f.request.connection = index_;
        in_.erase(in_.begin(),
                  f.status == FrameStatus::Oversized ? in_.end() : in_.begin() + long(f.size));
        busy_ = true;
        std::vector<Step> steps = server_.Respond(f);
        steps_.insert(steps_.end(), steps.begin(), steps.end());
        Run();
    }
}

// Carries out the steps of the current request, then goes on.
void RequestLink::Run() {
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
    if (s.type == Step::Write) {
        out_ = std::move(s.bytes);
        asio::async_write(socket_, asio::buffer(out_), [this, self](asio::error_code ec, size_t) {
            if (closed_)
                return;
            if (ec)
                Close(Step{Step::Close, {}, 0, "write failed: " + ec.message()});
            else
                Run();
        });
    } else if (s.type == Step::Wait) {
        After(timer_, s.ms, [this, self] {
            if (!closed_)
                Run();
        });
    } else {
        Close(s);
    }
}

void RequestLink::Close(const Step& step) {
    if (closed_)
        return;
    closed_ = true;
    asio::error_code ec;
    if (step.abortive)
        socket_.set_option(asio::socket_base::linger(true, 0), ec);
    else
        socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    timer_.cancel();
    idle_timer_.cancel();
    server_.Closed(index_, step.why);
    server_.Ended(shared_from_this(), step.reboot);
}

Service::Service(std::unique_ptr<Server> server) : server_(std::move(server)) {}
Service::~Service() = default;  // the server stops as it goes
void Service::Stop() {
    server_->Stop();
}
const std::string& Service::address() const {
    return server_->bind_address;
}
uint16_t Service::port() const {
    return server_->port;
}
size_t Service::ConnectionCount() const {
    return server_->ConnectionCount();
}
bool Service::WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    return server_->WaitUntil(predicate, timeout);
}

}  // namespace gwsim
