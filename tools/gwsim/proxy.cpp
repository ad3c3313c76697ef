// The recording proxy on the shared server skeleton: one pair of sockets per
// connection, side by side.
#include "tools/gwsim/proxy.h"

#include "tools/gwsim/server.h"

namespace gwsim {

namespace {

bool IsReset(const asio::error_code& ec) {
    return ec == asio::error::connection_reset || ec == asio::error::connection_aborted;
}

}  // namespace

class ProxyPair;

class Proxy::Impl : public Server {
public:
    explicit Impl(ProxyOptions o)
        : Server(o, DefaultPort(o.family), "proxy"),
          options(std::move(o)),
          device_port(options.device_port ? options.device_port : DefaultPort(options.family)) {}
    ~Impl() override { Stop(); }

    const ProxyOptions options;
    const uint16_t device_port;
    tcp::endpoint device;
    SessionWriter writer;  // writes nothing unless opened

    std::shared_ptr<Link> Accepted(tcp::socket socket, size_t index) override;
    bool BeforeStart(std::string* error) override {
        if (endpoint == device)
            return Fail(error,
                        "the proxy cannot listen where the device is (" + EndpointText() + ")");
        return options.record_path.empty() ||
               writer.Open(options.record_path, options.family,
                           device.address().to_string() + ":" + std::to_string(device_port),
                           endpoint.address().to_string() + ":" + std::to_string(port), error);
    }
    void AfterStop() override { writer.End(); }
};

// A connection from the PC and the one to the device made for it.
class ProxyPair : public Link, public std::enable_shared_from_this<ProxyPair> {
public:
    ProxyPair(Proxy::Impl& impl, tcp::socket pc, size_t index)
        : impl_(impl), pc_(std::move(pc)), device_(impl.io), index_(index) {}

    void Start() override {
        auto self = shared_from_this();
        device_.async_connect(impl_.device, [this, self](asio::error_code ec) {
            if (finished_)
                return;
            if (ec) {
                impl_.Log("conn " + std::to_string(index_) + ": device: " + ec.message());
                impl_.writer.ConnectFailed(index_, ec.message());
                Reset(pc_);
                Finish();
                return;
            }
            asio::error_code ignored;
            device_.set_option(tcp::no_delay(true), ignored);
            std::string peer;
            auto remote = pc_.remote_endpoint(ignored);
            if (!ignored)
                peer = remote.address().to_string() + ":" + std::to_string(remote.port());
            impl_.Log("conn " + std::to_string(index_) + " from " + peer);
            impl_.writer.Connected(index_, peer);
            impl_.Notify();
            Relay(pc_, device_, pc_buf_, false);
            Relay(device_, pc_, device_buf_, true);
        });
    }

    // Ends both sockets at once (the proxy stops).
    void Abort() override {
        finished_ = true;
        asio::error_code ec;
        pc_.close(ec);
        device_.close(ec);
    }

private:
    using Buffer = std::array<uint8_t, 65536>;

    static void Reset(tcp::socket& s) {
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
            auto out = std::make_shared<Bytes>(buf.begin(), buf.begin() + long(n));
            if (from_device)
                impl_.writer.DeviceBytes(index_, *out);
            else
                impl_.writer.PcBytes(index_, *out);
            impl_.Notify();
            asio::async_write(
                to, asio::buffer(*out),
                [this, self, out, &from, &to, &buf, from_device](asio::error_code wec, size_t) {
                    if (finished_)
                        return;
                    if (wec)  // the other side is gone: it ended the connection
                        SideEnded(to, from, !from_device, IsReset(wec));
                    else
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
            impl_.writer.Closed(index_, from_device, reset);
        }
        if (reset) {
            Reset(to);
            Reset(from);
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
        impl_.Ended(shared_from_this(), false);
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

std::shared_ptr<Link> Proxy::Impl::Accepted(tcp::socket socket, size_t index) {
    return std::make_shared<ProxyPair>(*this, std::move(socket), index);
}

Proxy::Proxy(ProxyOptions options)
    : Service(std::make_unique<Impl>(std::move(options))),
      impl_(static_cast<Impl*>(server_.get())) {}

bool Proxy::Start(std::string* error) {
    asio::error_code ec;
    asio::ip::address device = asio::ip::make_address(impl_->options.device_address, ec);
    if (ec)
        return Fail(error, "bad device address \"" + impl_->options.device_address + "\"");
    impl_->device = tcp::endpoint(device, impl_->device_port);
    return impl_->Start(error);
}

size_t Proxy::OpenCount() const {
    return impl_->OpenCount();
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

bool Proxy::WaitForIdle(std::chrono::milliseconds timeout) {
    return WaitUntil([this] { return OpenCount() == 0; }, timeout);
}

}  // namespace gwsim
