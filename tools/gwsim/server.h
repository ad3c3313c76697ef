// The server skeleton the simulated device, the replay and the proxy share:
// a listener on a loopback address, one io thread, connections accepted one
// at a time or side by side, a clean stop, and waiting without sleeping.
// RequestLink is a connection that splits what the PC sends into request
// frames and carries out the steps a responder gives for each.
#ifndef ZODARURUVIZI_TOOLS_GWSIM_SERVER_H
#define ZODARURUVIZI_TOOLS_GWSIM_SERVER_H

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <asio.hpp>

#include "tools/gwsim/simulator.h"

namespace gwsim {

using asio::ip::tcp;

// One accepted connection, as the server holds it.
class Link {
public:
    virtual ~Link() = default;
    virtual void Start() = 0;
    virtual void Abort() = 0;  // ends it without a word (the server stops)
};

class Server {
public:
    // Listens on options.port, or on `default_port` when that is 0.
    Server(const ServerOptions& options, uint16_t default_port, std::string name);
    virtual ~Server();

    // Binds and starts the io thread; false with the reason in *error.
    bool Start(std::string* error);
    // Ends every connection and the io thread. Idempotent.
    void Stop();
    bool Running() const;
    bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    void Notify();  // wakes WaitUntil
    // A line of output: only when verbose, unless `always`.
    void Log(const std::string& line, bool always = false);
    std::string EndpointText() const { return bind_address + ":" + std::to_string(port); }
    size_t ConnectionCount() const;
    size_t OpenCount() const;

    // io thread only
    asio::error_code OpenListener(int backlog);
    void CloseListener();
    void StartAccept();
    // A link ended: it is dropped once its handlers have unwound, then AfterClose runs.
    void Ended(const std::shared_ptr<Link>& link, bool reboot);
    // For RequestLink: the steps that answer a frame; bad input; the end of a connection.
    virtual std::vector<Step> Respond(const RequestFrame& /*frame*/) { return {}; }
    virtual void Malformed(size_t /*index*/, const std::string& /*what*/) {}
    virtual void Closed(size_t /*index*/, const std::string& /*why*/) {}

    const std::string bind_address;
    const uint16_t port;
    size_t max_open = 0;  // connections served side by side; 0: any number
    mutable std::mutex mu;
    asio::io_context io;
    tcp::endpoint endpoint;
    tcp::acceptor acceptor{io};
    // Keeps the io thread running while nothing is pending (listener closed).
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};

protected:
    virtual bool MayAccept() { return true; }
    virtual std::shared_ptr<Link> Accepted(tcp::socket socket, size_t index) = 0;
    virtual void AfterClose(bool /*reboot*/) { StartAccept(); }
    // Once listening, before accepting; false (reason in *error) ends Start.
    virtual bool BeforeStart(std::string* /*error*/) { return true; }
    virtual void AfterStop() {}  // after the io thread ended

private:
    const std::string name_;
    const bool verbose_;
    const std::function<void(const std::string&)> log_;
    std::mutex log_mu_, wait_mu_;
    std::condition_variable wait_cv_;
    uint64_t generation_ = 0;
    size_t connections_ = 0, open_count_ = 0;  // guarded by mu
    bool running_ = false, started_once_ = false;
    bool accepting_ = false;
    std::set<std::shared_ptr<Link>> open_;
    std::thread thread_;
};

// A connection that reads request frames (wire.h) and writes what the
// server's Respond answers. A frame that does not start with "GW" ends the
// connection; every other frame goes to Respond, one at a time, with
// its status: Complete, BadVersion or Oversized (MalformedReply answers the
// last two). A frame left incomplete for `incomplete_timeout_ms` (0: no
// limit), or at the PC's end of data, ends the connection.
class RequestLink : public Link, public std::enable_shared_from_this<RequestLink> {
public:
    RequestLink(Server& server, tcp::socket socket, size_t index, int incomplete_timeout_ms);
    void Start() override { Read(); }
    void Abort() override;

private:
    void Read();
    void Process();
    void Run();
    void Close(const Step& step);

    Server& server_;
    tcp::socket socket_;
    size_t index_;
    int incomplete_timeout_ms_;
    asio::steady_timer timer_, idle_timer_;
    std::array<uint8_t, 4096> rbuf_{};
    Bytes in_, out_;
    std::deque<Step> steps_;
    bool closed_ = false, eof_ = false, busy_ = false;
};

// Runs `then` on the io thread after `ms`, unless the timer is cancelled or set again first.
void After(asio::steady_timer& timer, int64_t ms, std::function<void()> then);

// The answer to a frame of another version or with an oversized payload:
// status 0x0000FFFF and no data, then the connection is closed.
std::vector<Step> MalformedReply(const RecordedRequest& request, const std::string& why);

}  // namespace gwsim

#endif  // ZODARURUVIZI_TOOLS_GWSIM_SERVER_H
