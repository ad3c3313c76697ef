// A tiny client that talks to a device over loopback; its frames come from
// gwsim's wire module (itself checked against CSubStream and literal bytes).
#ifndef ZODARURUVIZI_TESTS_SUPPORT_FRAMES_H
#define ZODARURUVIZI_TESTS_SUPPORT_FRAMES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>

#include "tools/gwsim/wire.h"

namespace rawclient {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

using gwsim::Get32;
using gwsim::Put32;

inline Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A request frame of protocol version 1.
inline Bytes Request(uint8_t kind, uint32_t seq, uint32_t code, uint32_t qualifier = 0,
                     uint32_t room = 128, const Bytes& payload = {}) {
    return gwsim::EncodeRequest(
        {0, gwsim::kProtocolVersion, kind, seq, code, qualifier, room, payload});
}

struct Reply {
    uint8_t version = 0;
    uint8_t kind = 0;
    uint32_t seq = 0;
    uint32_t status = 0;
    uint32_t length = 0;  // declared
    Bytes data;
    std::string text() const { return std::string(data.begin(), data.end()); }
};

enum class ConnectResult { Connected, Refused, TimedOut, Failed };

class Client {
public:
    Client() : socket_(io_) {}

    ConnectResult Connect(const std::string& address, uint16_t port,
                          milliseconds timeout = milliseconds(5000)) {
        asio::error_code result = asio::error::would_block;
        asio::ip::tcp::endpoint ep(asio::ip::make_address(address), port);
        socket_.async_connect(ep, [&result](asio::error_code ec) { result = ec; });
        if (!Run(timeout, [&] { return result != asio::error::would_block; }))
            return ConnectResult::TimedOut;
        if (result == asio::error::connection_refused)
            return ConnectResult::Refused;
        if (result)
            return ConnectResult::Failed;
        socket_.set_option(asio::ip::tcp::no_delay(true));
        return ConnectResult::Connected;
    }

    void Send(const Bytes& bytes) { asio::write(socket_, asio::buffer(bytes)); }
    void ShutdownSend() {
        asio::error_code ec;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    }
    void Close() {
        asio::error_code ec;
        socket_.close(ec);
    }

    // Exactly n bytes, or fewer when the time ran out or the peer closed.
    Bytes ReadExactly(size_t n, milliseconds timeout = milliseconds(5000)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (buffer_.size() < n && !closed_) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Fill(left))
                break;
        }
        size_t take = std::min(n, buffer_.size());
        Bytes out(buffer_.begin(), buffer_.begin() + long(take));
        buffer_.erase(buffer_.begin(), buffer_.begin() + long(take));
        return out;
    }

    // One reply frame (a data length above 19992 is read as a header only).
    std::optional<Reply> ReadReply(milliseconds timeout = milliseconds(5000)) {
        Bytes h = ReadExactly(16, timeout);
        if (h.size() < 16 || h[0] != 'G' || h[1] != 'W')
            return std::nullopt;
        Reply r;
        r.version = h[2];
        r.kind = h[3];
        r.seq = Get32(&h[4]);
        r.status = Get32(&h[8]);
        r.length = Get32(&h[12]);
        if (r.length > 19992)
            return r;
        r.data = ReadExactly(r.length, timeout);
        if (r.data.size() < r.length)
            return std::nullopt;
        return r;
    }

    std::optional<Reply> Exchange(const Bytes& request, milliseconds timeout = milliseconds(5000)) {
        Send(request);
        return ReadReply(timeout);
    }

    // True when the peer closes the connection within the timeout (bytes
    // still arriving before that are collected in *rest).
    bool WaitClosed(milliseconds timeout = milliseconds(5000), Bytes* rest = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!closed_) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Fill(left))
                break;
        }
        if (rest)
            *rest = buffer_;
        return closed_;
    }

    // True when nothing arrives (and the connection stays open) for `quiet`.
    bool Silent(milliseconds quiet) { return buffer_.empty() && !Fill(quiet) && !closed_; }

private:
    // Runs until done() holds or the time is up (then the operation is
    // cancelled); false on timeout.
    template <typename Done>
    bool Run(milliseconds timeout, Done done) {
        io_.restart();
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io_.run_one_until(deadline);
        }
        if (!done()) {
            asio::error_code ec;
            socket_.cancel(ec);
            io_.restart();
            io_.run();  // let the cancelled operation finish
            return false;
        }
        return true;
    }

    // One read; false when nothing came within the timeout or the peer closed.
    bool Fill(milliseconds timeout) {
        if (closed_)
            return false;
        std::array<uint8_t, 65536> chunk;
        bool finished = false;
        size_t got = 0;
        asio::error_code error;
        socket_.async_read_some(asio::buffer(chunk), [&](asio::error_code ec, size_t n) {
            finished = true;
            got = n;
            error = ec;
        });
        Run(timeout, [&] { return finished; });
        if (got > 0)
            buffer_.insert(buffer_.end(), chunk.begin(), chunk.begin() + long(got));
        if (error && error != asio::error::operation_aborted)
            closed_ = true;
        return got > 0;
    }

    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    Bytes buffer_;
    bool closed_ = false;
};

}  // namespace rawclient

#endif  // ZODARURUVIZI_TESTS_SUPPORT_FRAMES_H
