// The recording proxy: one io thread, one pair of sockets per connection.
#include "tools/gwsim/proxy.h"

#include <array>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include <asio.hpp>

namespace gwsim {

namespace {

using asio::ip::tcp;

const int kListenBacklog = 8;

bool IsReset(const asio::error_code& ec) {
    return ec == asio::error::connection_reset || ec == asio::error::connection_aborted;
}

}  // namespace

class ProxyPair;

class Proxy::Impl {
public:
    explicit Impl(ProxyOptions o) : options(std::move(o)) {
        port = options.port != 0 ? options.port : DefaultPort(options.family);
        device_port = options.device_port != 0 ? options.device_port : DefaultPort(options.family);
    }

    ProxyOptions options;
    uint16_t port;
    uint16_t device_port;
    SessionWriter writer;
    bool recording = false;

    mutable std::mutex mu;
    size_t connections = 0;
    size_t open = 0;
    bool running = false;
    bool started_once = false;

    std::mutex wait_mu;
    std::condition_variable wait_cv;
    uint64_t generation = 0;
    std::mutex log_mu;

    // io thread only
    asio::io_context io;
    tcp::acceptor acceptor{io};
    tcp::endpoint device;
    std::set<std::shared_ptr<ProxyPair>> pairs;
    std::thread thread;

    void Notify() {
        {
            std::lock_guard<std::mutex> lk(wait_mu);
            ++generation;
        }
        wait_cv.notify_all();
    }

    void Log(const std::string& line) {
        if (!options.verbose)
            return;
        std::lock_guard<std::mutex> lk(log_mu);
        std::string text =
            "gwsim proxy " + options.bind_address + ":" + std::to_string(port) + ": " + line;
        if (options.log) {
            options.log(text);
        } else {
            std::cerr << text << std::endl;
        }
    }

    void Accept();
    void Ended(const std::shared_ptr<ProxyPair>& pair);
};

// A connection from the PC and the one to the device made for it.
class ProxyPair : public std::enable_shared_from_this<ProxyPair> {
public:
    ProxyPair(Proxy::Impl& impl, tcp::socket pc, size_t index)
        : impl_(impl), pc_(std::move(pc)), device_(impl.io), index_(index) {}

    void Start() {
        auto self = shared_from_this();
        device_.async_connect(impl_.device, [this, self](asio::error_code ec) {
            if (finished_)
                return;
            if (ec) {
                impl_.Log("conn " + std::to_string(index_) + ": device: " + ec.message());
                if (impl_.recording)
                    impl_.writer.ConnectFailed(index_, ec.message());
                Abort(pc_);
                Finish();
                return;
            }
            asio::error_code ignored;
            pc_.set_option(tcp::no_delay(true), ignored);
            device_.set_option(tcp::no_delay(true), ignored);
            std::string peer;
            auto remote = pc_.remote_endpoint(ignored);
            if (!ignored)
                peer = remote.address().to_string() + ":" + std::to_string(remote.port());
            impl_.Log("conn " + std::to_string(index_) + " from " + peer);
            if (impl_.recording)
                impl_.writer.Connected(index_, peer);
            impl_.Notify();
            Relay(pc_, device_, pc_buf_, false);
            Relay(device_, pc_, device_buf_, true);
        });
    }

    // Ends both sockets at once (the proxy stops).
    void Shutdown() {
        finished_ = true;
        asio::error_code ec;
        pc_.close(ec);
        device_.close(ec);
    }

private:
    using Buffer = std::array<uint8_t, 65536>;

    static void Abort(tcp::socket& s) {
        asio::error_code ec;
        s.set_option(asio::socket_base::linger(true, 0), ec);
        s.close(ec);
    }

    // Reads from one side and writes what came to the other, one read at a time.
    void Relay(tcp::socket& from, tcp::socket& to, Buffer& buf, bool from_device) {
        auto self = shared_from_this();
        from.async_read_some(asio::buffer(buf), [this, self, &from, &to, &buf, from_device](
                                                    asio::error_code ec, size_t n) {
            if (finished_)
                return;
            if (ec) {
                SideEnded(from, to, from_device, IsReset(ec));
                return;
            }
            std::vector<uint8_t> bytes(buf.begin(), buf.begin() + long(n));
            if (impl_.recording) {
                if (from_device) {
                    impl_.writer.DeviceBytes(index_, bytes);
                } else {
                    impl_.writer.PcBytes(index_, bytes);
                }
                impl_.Notify();
            }
            auto out = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
            asio::async_write(
                to, asio::buffer(*out),
                [this, self, out, &from, &to, &buf, from_device](asio::error_code wec, size_t) {
                    if (finished_)
                        return;
                    if (wec) {
                        // The other side is gone: it ended the connection.
                        SideEnded(to, from, !from_device, IsReset(wec));
                        return;
                    }
                    Relay(from, to, buf, from_device);
                });
        });
    }

    // One side ended: passed on to the other as the same kind of end.
    void SideEnded(tcp::socket& from, tcp::socket& to, bool from_device, bool reset) {
        if (!close_recorded_) {
            close_recorded_ = true;
            impl_.Log("conn " + std::to_string(index_) + " " + (reset ? "reset" : "closed") +
                      " by the " + (from_device ? "device" : "PC"));
            if (impl_.recording)
                impl_.writer.Closed(index_, from_device, reset);
        }
        if (reset) {
            Abort(to);
            Abort(from);
            Finish();
            return;
        }
        asio::error_code ec;
        to.shutdown(tcp::socket::shutdown_send, ec);
        if (++ended_sides_ >= 2 || ec) {
            from.close(ec);
            to.close(ec);
            Finish();
        }
    }

    void Finish() {
        if (finished_)
            return;
        finished_ = true;
        impl_.Ended(shared_from_this());
    }

    Proxy::Impl& impl_;
    tcp::socket pc_;
    tcp::socket device_;
    size_t index_;
    Buffer pc_buf_{};
    Buffer device_buf_{};
    bool finished_ = false;
    bool close_recorded_ = false;
    int ended_sides_ = 0;
};

void Proxy::Impl::Accept() {
    acceptor.async_accept([this](asio::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!ec) {
            size_t index;
            {
                std::lock_guard<std::mutex> lk(mu);
                index = ++connections;
                ++open;
            }
            auto pair = std::make_shared<ProxyPair>(*this, std::move(socket), index);
            pairs.insert(pair);
            pair->Start();
            Notify();
        }
        Accept();
    });
}

void Proxy::Impl::Ended(const std::shared_ptr<ProxyPair>& pair) {
    // Drop the pair once its handlers have unwound.
    asio::post(io, [this, pair] {
        pairs.erase(pair);
        {
            std::lock_guard<std::mutex> lk(mu);
            --open;
        }
        Notify();
    });
}

Proxy::Proxy(ProxyOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Proxy::~Proxy() {
    Stop();
}

bool Proxy::Start(std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (impl_->started_once)
            return fail("a proxy is started only once");
    }
    asio::error_code ec;
    asio::ip::address device = asio::ip::make_address(impl_->options.device_address, ec);
    if (ec)
        return fail("bad device address \"" + impl_->options.device_address + "\"");
    impl_->device = tcp::endpoint(device, impl_->device_port);
    asio::ip::address bind = asio::ip::make_address(impl_->options.bind_address, ec);
    if (ec)
        return fail("bad bind address \"" + impl_->options.bind_address + "\"");
    tcp::endpoint endpoint(bind, impl_->port);
    if (endpoint == impl_->device)
        return fail("the proxy cannot listen where the device is (" + impl_->options.bind_address +
                    ":" + std::to_string(impl_->port) + ")");
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
    if (!impl_->options.record_path.empty()) {
        std::string why;
        std::string device_text = device.to_string() + ":" + std::to_string(impl_->device_port);
        std::string listen_text = bind.to_string() + ":" + std::to_string(impl_->port);
        if (!impl_->writer.Open(impl_->options.record_path, impl_->options.family, device_text,
                                listen_text, &why)) {
            asio::error_code ignored;
            impl_->acceptor.close(ignored);
            return fail(why);
        }
        impl_->recording = true;
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

void Proxy::Stop() {
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
    for (const auto& pair : impl_->pairs)
        pair->Shutdown();
    impl_->pairs.clear();
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->open = 0;
    }
    if (impl_->recording)
        impl_->writer.End();
    impl_->Notify();
}

const std::string& Proxy::address() const {
    return impl_->options.bind_address;
}

uint16_t Proxy::port() const {
    return impl_->port;
}

size_t Proxy::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->connections;
}

size_t Proxy::OpenCount() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->open;
}

size_t Proxy::RequestCount() const {
    return impl_->writer.RequestCount();
}

std::vector<RecordedRequest> Proxy::Requests() const {
    return impl_->writer.Requests();
}

bool Proxy::RecordingHealthy(std::string* error) const {
    return impl_->writer.Healthy(error);
}

bool Proxy::WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
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

bool Proxy::WaitForIdle(std::chrono::milliseconds timeout) {
    return WaitUntil([this] { return OpenCount() == 0; }, timeout);
}

}  // namespace gwsim
