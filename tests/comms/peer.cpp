#include "peer.h"

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <thread>

namespace zrtest {

namespace {

uint32_t Get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void Put32(std::vector<char>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(v >> shift));
}

class AsioConnection : public PeerConnection {
public:
    explicit AsioConnection(asio::ip::tcp::socket& socket) : socket_(socket) {}

    PeerRequest ReadRequest() override {
        PeerRequest request;
        uint8_t header[24];
        asio::error_code ec;
        asio::read(socket_, asio::buffer(header), ec);
        if (ec)
            return request;
        std::vector<uint8_t> payload(Get32(header + 20));
        if (!payload.empty())
            asio::read(socket_, asio::buffer(payload), ec);
        if (ec)
            return request;
        request.kind = header[3];
        request.sequence = Get32(header + 4);
        request.code = Get32(header + 8);
        request.ok = true;
        return request;
    }
    void Send(const std::vector<char>& bytes) override {
        asio::error_code ec;
        asio::write(socket_, asio::buffer(bytes), ec);
    }
    void Pause(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    void Close() override {
        asio::error_code ec;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
        socket_.close(ec);
    }
    bool WaitForClose(int timeoutMs) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        socket_.non_blocking(true);
        for (;;) {
            char byte;
            asio::error_code ec;
            socket_.read_some(asio::buffer(&byte, 1), ec);
            if (ec == asio::error::eof || ec == asio::error::connection_reset)
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    asio::ip::tcp::socket& socket_;
};

}  // namespace

std::vector<char> ReplyFrame(uint8_t kind, uint32_t sequence, uint32_t status,
                             const std::string& data, uint32_t declaredLength) {
    std::vector<char> out = {'G', 'W', 1, static_cast<char>(kind)};
    Put32(out, sequence);
    Put32(out, status);
    Put32(out, declaredLength == UINT32_MAX ? static_cast<uint32_t>(data.size()) : declaredLength);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

struct ScriptedPeer::Impl {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io};
    std::thread thread;
    std::atomic<bool> stopping{false};
};

ScriptedPeer::ScriptedPeer(Script script) : impl_(new Impl) {
    asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->thread = std::thread([this, script] {
        asio::ip::tcp::socket socket(impl_->io);
        asio::error_code ec;
        impl_->acceptor.accept(socket, ec);
        if (ec || impl_->stopping)
            return;
        AsioConnection connection(socket);
        script(connection);
        connection.Close();
    });
}

ScriptedPeer::~ScriptedPeer() {
    if (!impl_->thread.joinable())
        return;
    // An accept still waiting is ended by a connection of our own.
    impl_->stopping = true;
    asio::io_context io;
    asio::ip::tcp::socket wake(io);
    asio::error_code ec;
    wake.connect(impl_->acceptor.local_endpoint(), ec);
    impl_->thread.join();
}

uint16_t ScriptedPeer::port() const {
    return impl_->acceptor.local_endpoint().port();
}

void ScriptedPeer::Join() {
    if (impl_->thread.joinable())
        impl_->thread.join();
}

}  // namespace zrtest
