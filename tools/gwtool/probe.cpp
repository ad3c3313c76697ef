#include "tools/gwtool/probe.h"

#include <asio.hpp>

namespace gwtool {

Reach ProbeConnection(const std::string& address, uint16_t port, std::chrono::milliseconds timeout,
                      std::string* detail) {
    asio::io_context io;
    asio::error_code ec;
    const asio::ip::address_v4 ip = asio::ip::make_address_v4(address, ec);
    if (ec) {
        if (detail)
            *detail = ec.message();
        return Reach::Failed;
    }
    asio::ip::tcp::socket socket(io);
    asio::steady_timer timer(io, timeout);
    bool connected = false;
    bool timed_out = false;
    asio::error_code result = asio::error::would_block;
    socket.async_connect(asio::ip::tcp::endpoint(ip, port), [&](const asio::error_code& e) {
        result = e;
        connected = true;
        timer.cancel();
    });
    timer.async_wait([&](const asio::error_code& e) {
        if (!e && !connected) {
            timed_out = true;
            asio::error_code ignored;
            socket.close(ignored);
        }
    });
    io.run();
    if (timed_out)
        return Reach::Silent;
    if (!result)
        return Reach::Accepted;
    if (result == asio::error::connection_refused)
        return Reach::Refused;
    if (detail)
        *detail = result.message();
    return Reach::Failed;
}

}  // namespace gwtool
